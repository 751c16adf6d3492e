// Helpers shared by the tests: starting programs and finding the usage box.
#pragma once

#include <windows.h>

#include <string>

// The value of an environment variable, or an empty string.
std::string EnvironmentValue(const char* name);

// A Unix path as Wine's drive Z: sees it; other paths are returned unchanged.
std::string WindowsPath(const std::string& path);

// A built program, from the variable that CTest sets, installed as an administrator would put
// it: in C:\Program Files\Vornic Tests, where no ordinary user may change it. The checkout may lie
// anywhere, and a Unix folder such as /tmp looks to Wine like one that Everyone may change.
std::string InstalledProgram(const char* variable);

// The installed wrapper (WRAPPER_EXE) and ChildHelper (CHILD_HELPER_EXE).
std::string WrapperPath();
std::string ChildHelperPath();

// Lets Everyone change the file or folder, as the rights that Windows gives a folder made under
// C:\ let every user change it; Wine keeps no finer right.
bool LetEveryoneChange(const std::string& path);

// The absolute form of a path, as a program's own GetModuleFileNameA gives it.
std::string FullPath(const std::string& path);

// A path in the temporary folder, absolute.
std::string TempPath(const std::string& name);

// A process the test started or opened. Nothing a test starts may outlive it: one that still
// runs when this goes out of scope is terminated, then its handles are closed.
class TProcess {
  public:
    explicit TProcess(const std::string& commandLine, DWORD creationFlags = 0);
    // Opens a running process by its id (0 or a gone process: Started() is false).
    explicit TProcess(DWORD processId);
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;
    ~TProcess();

    bool Started() const {
        return Info.hProcess != nullptr;
    }
    DWORD Id() const {
        return Info.dwProcessId;
    }
    // Waits up to the time-out; returns the exit code, or STILL_ACTIVE if still running.
    DWORD WaitForExit(DWORD timeoutMs) const;
    bool Runs() const {
        return Started() && WaitForSingleObject(Info.hProcess, 0) == WAIT_TIMEOUT;
    }

  private:
    PROCESS_INFORMATION Info{};
};

// The child of the process, opened for waiting and ending; null while it has none.
HANDLE OpenChildOf(HANDLE parent);

// Quotes a path for a command line.
std::string Quoted(const std::string& text);

// Runs the wrapper with the arguments (which begin with a blank) and waits up to the time-out;
// returns its exit code. A wrapper that shows the usage box or does not end in time fails the
// test at once, with the reason, is terminated, and gives STILL_ACTIVE.
DWORD RunWrapper(const std::string& arguments, DWORD timeoutMs,
                 const std::string& wrapperPath = WrapperPath());

// The usage box of the process, once visible; null after the time-out or once the process ended.
HWND FindUsageBox(const TProcess& process, DWORD timeoutMs);
std::string UsageBoxText(HWND box);
void PressOk(HWND box);

// A copy of the wrapper in a folder of the temporary folder, removed again on every road.
class TWrapperCopy {
  public:
    explicit TWrapperCopy(const std::string& folder,
                          const std::string& fileName = "VornicService.exe");
    TWrapperCopy(const TWrapperCopy&) = delete;
    TWrapperCopy& operator=(const TWrapperCopy&) = delete;
    ~TWrapperCopy();

    bool Ok = false;
    std::string Folder;
    std::string Path;
};
