// Which program a service's command line names, and that program quoted for CreateProcessA.
#include "VornicService.h"

#include <vector>

namespace {

// Where CreateProcessA itself ends a program name it tries: space and tab, nothing else.
bool IsBlank(const char* position) {
    return *position == ' ' || *position == '\t';
}

bool IsExistingFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Stepping by characters: a double-byte character's second byte can be 0x5C.
bool LastElementHasExtension(const std::string& path) {
    bool dot = false;
    for (const char* position = path.c_str(); *position != '\0';
         position = NextCharacter(position)) {
        if (*position == '\\' || *position == '/') {
            dot = false;
        } else if (*position == '.') {
            dot = true;
        }
    }
    return dot;
}

// The file a candidate names, ".exe" tried first as CreateProcessA completes it; empty if none.
std::string ExistingProgram(const std::string& candidate) {
    if (!LastElementHasExtension(candidate) && IsExistingFile(candidate + ".exe")) {
        return candidate + ".exe";
    }
    return IsExistingFile(candidate) ? candidate : std::string();
}

} // namespace

std::string QuoteProgramPath(const std::string& path) {
    // An unquoted path with blanks would let C:\Program.exe run as LocalSystem.
    return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

std::string QuoteWrappedProgram(const std::string& commandLine) {
    // The candidates end where a word ends: before a run of blanks, or at the end of the line.
    // Windows drops trailing blanks from a file name, so ending one inside the run would name
    // the same program again, only with blanks inside its quotes.
    std::vector<std::string::size_type> ends;
    const char* line = commandLine.c_str();
    for (const char* position = line; *position != '\0';) {
        const char* next = NextCharacter(position);
        if (!IsBlank(position) && (*next == '\0' || IsBlank(next))) {
            ends.push_back(static_cast<std::string::size_type>(next - line));
        }
        position = next;
    }
    for (auto end = ends.rbegin(); end != ends.rend(); ++end) {
        const std::string program = ExistingProgram(commandLine.substr(0, *end));
        if (program.empty()) {
            continue;
        }
        const std::string quoted = QuoteProgramPath(program);
        // Without a blank there is no shorter name for CreateProcessA to try first.
        return quoted == program ? commandLine : quoted + commandLine.substr(*end);
    }
    return commandLine;
}
