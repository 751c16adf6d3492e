// Program module: the entry's settings, the command-line options and the
// worker that runs the wrapped command.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

// Settings, filled once by the entry.
extern std::string CommandLine;
extern std::string WorkingDirectory;
extern std::string LaunchCommand;

// Command-line options. The line defaults to the process's own; tests pass their own bytes.
// NextCharacter steps over a double-byte character of the system code page whole.
const char* NextCharacter(const char* position);
const char* ReadToken(const char* position, std::string& token);
int ParameterCount(const char* line = GetCommandLineA());
std::string Parameter(int index, const char* line = GetCommandLineA());
bool FindSwitch(const std::string& name, const char* line = GetCommandLineA());
bool GetOptionValue(const std::string& name, std::string& value,
                    const char* line = GetCommandLineA());
bool SameOptionText(const std::string& first, const std::string& second);
std::string ExtractDirectory(const std::string& path);

// The command line stored in the service entry and handed back at every service start.
std::string ComposeServiceCommandLine(const std::string& wrapperPath,
                                      const std::string& serviceName,
                                      const std::string& launchCommand);

// The child's command line: relative start values are taken from the wrapper's directory.
std::string CompleteCommandLine(const std::string& startValue, const std::string& workingDirectory);

// Whether a stored service command line is one this program wrote for the named service: it ends
// in the form that -install writes, /name:"<name>" /start:"<launch command>", with the name as
// the service control manager compares it. The executable's own name is not looked at, since
// administrators rename and move it.
bool IsServiceCommandLineOf(const std::string& binaryPath, const std::string& serviceName);

// A program's path as a command line names it: in double quotes when it holds a blank.
std::string QuoteProgramPath(const std::string& path);

// What the service starts for a command line: the file the lookup decided on, the file that
// CreateProcessA is given as its application (the program, or cmd.exe for a batch file), and the
// command line.
struct TChildLaunch {
    std::string Program;
    std::string Application;
    std::string Line;
};

// The file a launch command names. A launch command cannot quote its program, and CreateProcessA
// would try C:\Program.exe before C:\Program Files\App\app.exe. The shortest beginning that ends
// in .exe, .com, .bat or .cmd and holds no word that starts the arguments (-x, /x, D:..., \\server)
// after its first is the program. Otherwise it is the first of the names that CreateProcessA
// would try, in its order, that exists. ERROR_FILE_NOT_FOUND when there is none.
DWORD ResolveWrappedProgram(const std::string& commandLine, TChildLaunch& launch);

// Whether LocalSystem may run the file: neither it, nor its folder, nor a folder above can be
// changed by a well-known group of ordinary users (Everyone, Users, Authenticated Users, ...), and
// each is owned by an administrator. ERROR_ACCESS_DISABLED_BY_POLICY when one can.
DWORD CheckProgramProtection(const std::string& path);

// The lookup, then the rights of the program it found.
DWORD PrepareChildLaunch(const std::string& commandLine, TChildLaunch& launch);

// The roads of the entry; returns the process exit code when the chosen road is done: 0 when
// it did what was asked, 87 when an option or the switch is missing, otherwise the Win32 error
// code of what failed.
DWORD RunEntry();
// The usage box; nothing in session 0 or where the window station is not visible, since nobody
// could close it.
void ShowUsage();

// A function of a DLL of the system folder, loaded on first need: importing user32 would
// connect every service start to the desktop before the service could report anything, and a DLL
// loaded by its name alone could come from the program's own folder.
inline std::string SystemFile(const char* name) {
    char folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryA(folder, sizeof(folder));
    return length != 0 && length < sizeof(folder) ? std::string(folder, length) + "\\" + name
                                                  : std::string();
}
template <typename TFunction> TFunction SystemFunction(const char* dll, const char* name) {
    const std::string path = SystemFile(dll);
    HMODULE module = !path.empty() ? LoadLibraryA(path.c_str()) : nullptr;
    FARPROC function = module != nullptr ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<TFunction>(reinterpret_cast<void (*)()>(function));
}
template <typename TFunction> TFunction User32Function(const char* name) {
    return SystemFunction<TFunction>("user32.dll", name);
}

// The worker: runs the child hidden on a thread of its own and watches it.
void StartWorker(DWORD argc, LPSTR* argv);
void StopWorker();
