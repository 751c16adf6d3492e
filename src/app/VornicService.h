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

// Whether a stored service command line is one this program wrote for the named service: its
// options carry that name and a start value. The executable's own name is not looked at, since
// administrators rename and move it.
bool IsServiceCommandLineOf(const std::string& binaryPath, const std::string& serviceName);

// A program's path as a command line names it: in double quotes when it holds a blank.
std::string QuoteProgramPath(const std::string& path);

// The child's command line as CreateProcessA gets it. A launch command cannot quote its program,
// and CreateProcessA would try C:\Program.exe before C:\Program Files\App\app.exe. The shortest
// beginning that ends in .exe, .com, .bat or .cmd and holds no word that starts the arguments
// (-x, /x, D:..., \\server) after its first is the program: ERROR_FILE_NOT_FOUND when it is not
// a file. Otherwise, of the names CreateProcessA would try, one that a later path word continues
// is never the program (ERROR_BAD_PATHNAME when it exists), and of the others the one that exists
// is (ERROR_BAD_PATHNAME for two). The program is quoted when it holds a blank; when no name
// exists the line stays as it is.
DWORD QuoteWrappedProgram(const std::string& commandLine, std::string& childLine);

// The roads of the entry; returns the process exit code when the chosen road is done: 0 when
// it did what was asked, 87 when an option or the switch is missing, otherwise the Win32 error
// code of what failed.
DWORD RunEntry();
// The usage box; nothing in session 0 or where the window station is not visible, since nobody
// could close it.
void ShowUsage();

// A function of user32, loaded on first need: importing user32 would connect every service
// start to the desktop before the service could report anything.
template <typename TFunction> TFunction User32Function(const char* name) {
    HMODULE user32 = LoadLibraryA("user32.dll");
    FARPROC function = user32 != nullptr ? GetProcAddress(user32, name) : nullptr;
    return reinterpret_cast<TFunction>(reinterpret_cast<void (*)()>(function));
}

// The worker: runs the child hidden on a thread of its own and watches it.
void StartWorker(DWORD argc, LPSTR* argv);
void StopWorker();
