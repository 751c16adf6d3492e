// Which file a service's command line names, and how CreateProcessA is to start exactly that file.
#include "VornicService.h"

#include <vector>

namespace {

// Where CreateProcessA itself ends a program name it tries: space and tab, nothing else.
bool IsBlank(const char* position) {
    return *position == ' ' || *position == '\t';
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

std::string Lowercase(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool IsBatchExtension(const std::string& extension) {
    const std::string lower = Lowercase(extension);
    return lower == ".bat" || lower == ".cmd";
}

// The extensions that CreateProcessA starts: programs, and batch files through cmd.exe.
bool IsProgramExtension(const std::string& extension) {
    const std::string lower = Lowercase(extension);
    return lower == ".exe" || lower == ".com" || IsBatchExtension(lower);
}

// Where a launch command's arguments begin: an option (-x, /x), a drive (D:...) or a network
// path (\\server).
bool StartsArguments(const char* word) {
    const char letter = static_cast<char>(*word | 0x20);
    const bool drive = letter >= 'a' && letter <= 'z' && word[1] == ':';
    return *word == '-' || *word == '/' || drive || (word[0] == '\\' && word[1] == '\\');
}

// The absolute form of a name, with "." and ".." resolved and trailing blanks and dots dropped, as
// Windows opens it; empty when it has none.
std::string FullPathName(const std::string& name) {
    std::vector<char> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD length = GetFullPathNameA(name.c_str(), static_cast<DWORD>(buffer.size()),
                                              buffer.data(), nullptr);
        if (length < buffer.size()) {
            return std::string(buffer.data(), length);
        }
        buffer.resize(length + 1);
    }
}

// The attributes of the file that the name, made absolute, is.
DWORD Attributes(const std::string& name) {
    const std::string path = FullPathName(name);
    return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
}

bool IsDirectory(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The launch when the name written as the line's beginning up to end is the file.
DWORD Launch(const std::string& commandLine, const std::string& name, std::string::size_type end,
             TChildLaunch& launch) {
    launch.Program = FullPathName(name);
    const std::string arguments = commandLine.substr(end);
    // Windows documents one way to run a batch file: cmd.exe /c. With /s cmd.exe drops the outer
    // quotes and nothing more, and the inner ones keep it from reading & | < > ^ ( ) or a blank in
    // the path as anything but the name; /v:off keeps ! as it is, whatever the registry says.
    // The file that was checked is the one that runs.
    if (IsBatchExtension(LastElementExtension(launch.Program))) {
        launch.Application = SystemFile("cmd.exe");
        launch.Line = QuoteProgramPath(launch.Application) + " /v:off /s /c \"\"" + launch.Program +
                      "\"" + arguments + "\"";
        // cmd.exe puts a variable's value in place of %name% even inside quotes: the batch file
        // would not be the file that runs.
        return launch.Program.find('%') == std::string::npos ? NO_ERROR : ERROR_BAD_PATHNAME;
    }
    launch.Application = launch.Program;
    const std::string quoted = QuoteProgramPath(name);
    // Without a blank it is the first name CreateProcessA tries: the line stays as written.
    launch.Line = quoted == name ? commandLine : quoted + arguments;
    return NO_ERROR;
}

} // namespace

std::string QuoteProgramPath(const std::string& path) {
    // An unquoted path with blanks would let C:\Program.exe run as LocalSystem.
    return path.find_first_of(" \t") == std::string::npos ? path : "\"" + path + "\"";
}

DWORD ResolveWrappedProgram(const std::string& commandLine, TChildLaunch& launch) {
    launch = TChildLaunch{};
    const char* line = commandLine.c_str();
    const auto offset = [line](const char* position) {
        return static_cast<std::string::size_type>(position - line);
    };
    // Written with its extension, the program ends there, and no other name is looked at: a
    // longer one can be planted beside it ("server.exe -port 80"), a shorter one along its path
    // (C:\Program.exe), and either would run in place of a program that is missing.
    bool first = true;
    for (const char* position = line; *position != '\0';) {
        if (IsBlank(position)) {
            position = NextCharacter(position);
            continue;
        }
        if (!first && StartsArguments(position)) {
            break;
        }
        first = false;
        while (*position != '\0' && !IsBlank(position)) {
            position = NextCharacter(position);
        }
        const std::string beginning = commandLine.substr(0, offset(position));
        if (IsProgramExtension(LastElementExtension(beginning))) {
            const DWORD attributes = Attributes(beginning);
            if (attributes == INVALID_FILE_ATTRIBUTES || IsDirectory(attributes)) {
                return ERROR_FILE_NOT_FOUND;
            }
            return Launch(commandLine, beginning, offset(position), launch);
        }
    }
    // Otherwise the names CreateProcessA itself would try for an unquoted line, in its order: each
    // beginning that ends before a blank, also one ending inside a run of blanks ("My " names
    // "My .exe"), then the whole line; each as written (a file C:\Program makes services fail with
    // "not a valid Win32 application"), then with ".exe" when its last element has no extension.
    // Microsoft's page lists, for c:\program files\sub dir\program name: c:\program.exe,
    // c:\program files\sub.exe, c:\program files\sub dir\program.exe, then
    // c:\program files\sub dir\program name.exe. The first that exists is the one Windows would
    // take: a folder there ends that beginning, a file is the program. Whether an ordinary user
    // could have put it there is for the rights to tell (CheckProgramProtection).
    for (const char* position = line;; position = NextCharacter(position)) {
        if (*position != '\0' && !IsBlank(position)) {
            continue;
        }
        const std::string beginning = commandLine.substr(0, offset(position));
        std::vector<std::string> names{beginning};
        if (LastElementExtension(beginning).empty()) {
            names.push_back(beginning + ".exe");
        }
        for (const std::string& name : names) {
            const DWORD attributes = Attributes(name);
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                continue;
            }
            if (IsDirectory(attributes)) {
                break;
            }
            return Launch(commandLine, name, offset(position), launch);
        }
        if (*position == '\0') {
            return ERROR_FILE_NOT_FOUND;
        }
    }
}

DWORD PrepareChildLaunch(const std::string& commandLine, TChildLaunch& launch) {
    const DWORD lookup = ResolveWrappedProgram(commandLine, launch);
    return lookup != NO_ERROR ? lookup : CheckProgramProtection(launch.Program);
}
