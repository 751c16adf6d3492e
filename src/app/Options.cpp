// Splitting of the command line into parameters, and the lookup of switches and options.
#include "VornicService.h"

#include <vector>

namespace {

bool IsBlank(const char* position) {
    return static_cast<unsigned char>(*position) <= 0x20;
}

// Appends the whole character at position; a double-byte character is never split.
const char* CopyCharacter(const char* position, std::string& token) {
    const char* next = NextCharacter(position);
    token.append(position, next);
    return next;
}

bool HasPrefix(const std::string& parameter) {
    return !parameter.empty() && (parameter[0] == '-' || parameter[0] == '/');
}

// The path of the running executable, however long it is.
std::string ModuleFileName() {
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD length =
            GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            return std::string(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

// The next character of the system code page, as CharNextA steps: a lead byte takes the byte
// after it unless that is the end. Done here with kernel32 alone, since user32 (where
// CharNextA lives) costs every service start a desktop connection.
const char* NextCharacter(const char* position) {
    if (*position == '\0') {
        return position;
    }
    const bool doubleByte = IsDBCSLeadByte(static_cast<BYTE>(*position)) && position[1] != '\0';
    return position + (doubleByte ? 2 : 1);
}

const char* ReadToken(const char* position, std::string& token) {
    token.clear();
    for (;;) {
        while (*position != '\0' && IsBlank(position)) {
            position = NextCharacter(position);
        }
        // An empty pair of quotes before a token vanishes.
        if (position[0] != '"' || position[1] != '"') {
            break;
        }
        position += 2;
    }
    bool quoted = false;
    while (*position != '\0' && (quoted || !IsBlank(position))) {
        if (*position == '"') {
            quoted = !quoted;
            ++position;
        } else {
            position = CopyCharacter(position, token);
        }
    }
    return position;
}

int ParameterCount(const char* line) {
    std::string token;
    const char* position = ReadToken(line, token);
    int count = 0;
    for (;;) {
        position = ReadToken(position, token);
        if (token.empty()) {
            return count;
        }
        ++count;
    }
}

std::string Parameter(int index, const char* line) {
    if (index == 0) {
        return ModuleFileName();
    }
    std::string token;
    const char* position = ReadToken(line, token);
    for (int i = 1; i <= index; ++i) {
        position = ReadToken(position, token);
        if (token.empty()) {
            break;
        }
    }
    return token;
}

bool SameOptionText(const std::string& first, const std::string& second) {
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, first.c_str(),
                          static_cast<int>(first.size()), second.c_str(),
                          static_cast<int>(second.size())) == CSTR_EQUAL;
}

bool FindSwitch(const std::string& name, const char* line) {
    const int count = ParameterCount(line);
    for (int i = 1; i <= count; ++i) {
        const std::string parameter = Parameter(i, line);
        if (HasPrefix(parameter) && SameOptionText(parameter.substr(1), name)) {
            return true;
        }
    }
    return false;
}

bool GetOptionValue(const std::string& name, std::string& value, const char* line) {
    value.clear();
    const int count = ParameterCount(line);
    for (int i = 1; i <= count; ++i) {
        // The whole parameter is looked at: a long launch command must not arrive cut.
        const std::string parameter = Parameter(i, line);
        if (!HasPrefix(parameter)) {
            continue;
        }
        const std::string p = parameter.substr(1);
        if (p.size() <= name.size() || !SameOptionText(p.substr(0, name.size()), name)) {
            continue;
        }
        const char separator = p[name.size()];
        if (separator != ':' && separator != '=') {
            continue;
        }
        value = p.substr(name.size() + 1);
        return true;
    }
    return false;
}

std::string ExtractDirectory(const std::string& path) {
    // Stepping by characters: a double-byte character's second byte can be 0x5C.
    std::string::size_type end = 0;
    for (const char* position = path.c_str(); *position != '\0';
         position = NextCharacter(position)) {
        if (*position == '\\') {
            end = static_cast<std::string::size_type>(position - path.c_str()) + 1;
        }
    }
    return path.substr(0, end);
}
