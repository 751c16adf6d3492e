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

// Where a launch command's arguments begin: an option (-x, /x), a drive (D:...) or a network
// path (\\server). A file name holds no ':' and no "\\", so these words are never part of one.
bool StartsArguments(const char* word) {
    const char letter = static_cast<char>(*word | 0x20);
    const bool drive = letter >= 'a' && letter <= 'z' && word[1] == ':';
    return *word == '-' || *word == '/' || drive || (word[0] == '\\' && word[1] == '\\');
}

// A word of the command line: where it ends, and whether it starts the arguments or holds a
// path separator. Stepping by characters: a double-byte character's second byte can be 0x5C.
struct TWord {
    std::string::size_type End;
    bool StartsArguments;
    bool HoldsSeparator;
};

// The words end before a run of blanks, or at the end of the line. Windows drops trailing
// blanks from a file name, so a name ending inside the run would name the same file again.
std::vector<TWord> Words(const std::string& commandLine) {
    std::vector<TWord> words;
    const char* line = commandLine.c_str();
    for (const char* position = line; *position != '\0';) {
        if (IsBlank(position)) {
            position = NextCharacter(position);
            continue;
        }
        TWord word{0, StartsArguments(position), false};
        for (; *position != '\0' && !IsBlank(position); position = NextCharacter(position)) {
            word.HoldsSeparator = word.HoldsSeparator || *position == '\\' || *position == '/';
        }
        word.End = static_cast<std::string::size_type>(position - line);
        words.push_back(word);
    }
    return words;
}

// The file CreateProcessA tries for a beginning of the line: as written when its last element
// has an extension, whatever it is, otherwise with ".exe" added.
std::string TriedName(const std::string& beginning) {
    return LastElementExtension(beginning).empty() ? beginning + ".exe" : beginning;
}

// The child's line when the beginning up to end names the program.
std::string WithProgram(const std::string& commandLine, const std::string& program,
                        std::string::size_type end) {
    const std::string quoted = QuoteProgramPath(program);
    // Without a blank it is the first name CreateProcessA tries: the line stays as written.
    return quoted == program ? commandLine : quoted + commandLine.substr(end);
}

} // namespace

std::string QuoteProgramPath(const std::string& path) {
    // An unquoted path with blanks would let C:\Program.exe run as LocalSystem.
    return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

DWORD QuoteWrappedProgram(const std::string& commandLine, std::string& childLine) {
    childLine = commandLine;
    const std::vector<TWord> words = Words(commandLine);
    // Written with its extension, the program ends there, and no other name is looked at: a
    // longer one can be planted beside it ("server.exe -port 80"), a shorter one along its path
    // (C:\Program.exe), and either would run in place of a program that is missing.
    for (std::size_t i = 0; i < words.size() && (i == 0 || !words[i].StartsArguments); ++i) {
        const std::string beginning = commandLine.substr(0, words[i].End);
        if (IsProgramExtension(LastElementExtension(beginning))) {
            if (!IsExistingFile(beginning)) {
                return ERROR_FILE_NOT_FOUND;
            }
            childLine = WithProgram(commandLine, beginning, words[i].End);
            return NO_ERROR;
        }
    }
    // Otherwise every name that CreateProcessA would try is looked at. One that a later word
    // continues as a path (C:\Program before Files\App\app) lies in a folder along the program's
    // path, where anyone may have planted it: it never runs. The others can only be created where
    // the program itself lies: the one that exists is the program; two are ambiguous.
    std::size_t pathEnd = 0;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i].HoldsSeparator && !words[i].StartsArguments) {
            pathEnd = i;
        }
    }
    std::string program;
    std::string::size_type programEnd = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string name = TriedName(commandLine.substr(0, words[i].End));
        if (!IsExistingFile(name)) {
            continue;
        }
        if (i < pathEnd || !program.empty()) {
            return ERROR_BAD_PATHNAME;
        }
        program = name;
        programEnd = words[i].End;
    }
    if (!program.empty()) {
        childLine = WithProgram(commandLine, program, programEnd);
    }
    return NO_ERROR;
}
