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

// The extension of the path's last element, with its dot; empty when it has none. Stepping by
// characters: a double-byte character's second byte can be 0x5C.
std::string LastElementExtension(const std::string& path) {
    const char* dot = nullptr;
    for (const char* position = path.c_str(); *position != '\0';
         position = NextCharacter(position)) {
        if (*position == '\\' || *position == '/') {
            dot = nullptr;
        } else if (*position == '.') {
            dot = position;
        }
    }
    return dot != nullptr ? std::string(dot) : std::string();
}

// The extensions that CreateProcessA starts: programs, and batch files through cmd.exe.
bool IsProgramExtension(std::string extension) {
    for (char& c : extension) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return extension == ".exe" || extension == ".com" || extension == ".bat" || extension == ".cmd";
}

// The candidates end where a word ends: before a run of blanks, or at the end of the line.
// Windows drops trailing blanks from a file name, so ending one inside the run would name the
// same program again, only with blanks inside its quotes.
std::vector<std::string::size_type> CandidateEnds(const std::string& commandLine) {
    std::vector<std::string::size_type> ends;
    const char* line = commandLine.c_str();
    for (const char* position = line; *position != '\0';) {
        const char* next = NextCharacter(position);
        if (!IsBlank(position) && (*next == '\0' || IsBlank(next))) {
            ends.push_back(static_cast<std::string::size_type>(next - line));
        }
        position = next;
    }
    return ends;
}

// The child's line when the beginning up to end names the program.
std::string WithProgram(const std::string& commandLine, const std::string& program,
                        std::string::size_type end) {
    const std::string quoted = QuoteProgramPath(program);
    // Without a blank there is no other name for CreateProcessA to try: the line stays as written.
    return quoted == program ? commandLine : quoted + commandLine.substr(end);
}

} // namespace

std::string QuoteProgramPath(const std::string& path) {
    // An unquoted path with blanks would let C:\Program.exe run as LocalSystem.
    return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

DWORD QuoteWrappedProgram(const std::string& commandLine, std::string& childLine) {
    childLine = commandLine;
    std::string completed;
    std::string::size_type completedEnd = 0;
    int withoutExtension = 0;
    for (const std::string::size_type end : CandidateEnds(commandLine)) {
        const std::string candidate = commandLine.substr(0, end);
        const std::string extension = LastElementExtension(candidate);
        // Shortest first, the first beginning that ends in a program's extension: a longer name
        // can be planted beside the program ("server.exe -port 80"), a shorter one with an
        // extension cannot cut into the program's own path.
        if (IsProgramExtension(extension) && IsExistingFile(candidate)) {
            childLine = WithProgram(commandLine, candidate, end);
            return NO_ERROR;
        }
        // Only when no beginning has one: any beginning without an extension may be the
        // program, so a second one that exists may have been planted.
        if (extension.empty() && IsExistingFile(candidate + ".exe") && ++withoutExtension == 1) {
            completed = candidate + ".exe";
            completedEnd = end;
        }
    }
    if (withoutExtension > 1) {
        return ERROR_BAD_PATHNAME;
    }
    if (withoutExtension == 1) {
        childLine = WithProgram(commandLine, completed, completedEnd);
    }
    return NO_ERROR;
}
