// Helpers shared by the tests: starting programs and finding the usage box.
#pragma once

#include <windows.h>

#include <string>

// The value of an environment variable, or an empty string.
std::string EnvironmentValue(const char* name);

// A Unix path as Wine's drive Z: sees it; other paths are returned unchanged.
std::string WindowsPath(const std::string& path);

// The built wrapper executable, from the variable WRAPPER_EXE that CTest sets.
std::string WrapperPath();

// The absolute form of a path, as a program's own GetModuleFileNameA gives it.
std::string FullPath(const std::string& path);

// A started process; its handles are closed when it goes out of scope.
class TProcess {
  public:
    explicit TProcess(const std::string& commandLine);
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

  private:
    PROCESS_INFORMATION Info{};
};

// Quotes a path for a command line.
std::string Quoted(const std::string& text);

// Runs the wrapper with the arguments (which begin with a blank) and waits up to the time-out;
// returns its exit code, or STILL_ACTIVE if it did not end.
DWORD RunWrapper(const std::string& arguments, DWORD timeoutMs,
                 const std::string& wrapperPath = WrapperPath());

// The usage box of the given process, once visible, or null after the time-out.
HWND FindUsageBox(DWORD processId, DWORD timeoutMs);
std::string UsageBoxText(HWND box);
void PressOk(HWND box);
