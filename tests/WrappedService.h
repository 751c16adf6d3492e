// Helpers for tests that run the wrapper as a real service around ChildHelper.
#pragma once

#include "TestSupport.h"

#include <windows.h>

#include <map>
#include <string>

// The stored command line of a service that wraps the launch command with the built wrapper.
std::string Wrapped(const std::string& service, const std::string& launch);

// The launch command for ChildHelper, which writes its report to the given file (removed
// first); no blanks in these paths, since a launch command cannot quote them.
std::string HelperLaunch(const std::string& report, const std::string& arguments);

// The fields of a ChildHelper report, once the file exists; empty after the time-out.
std::map<std::string, std::string> ReadReport(const std::string& path, DWORD timeoutMs);

// The process id in a ChildHelper report, or 0.
DWORD ReportedPid(const std::string& report);

// Whether the process has ended within a generous wait; one that cannot be opened has ended.
bool Gone(const TProcess& process);

// Starts the service and opens the wrapper's own process as soon as the manager names it,
// so that its exit code can be read even when it ends at once.
class TWrapperProcess {
  public:
    explicit TWrapperProcess(const std::string& service);
    TWrapperProcess(const TWrapperProcess&) = delete;
    TWrapperProcess& operator=(const TWrapperProcess&) = delete;
    // A wrapper still running here is stopped as a service, so that its child goes with it,
    // and terminated if it does not end.
    ~TWrapperProcess();

    // The wrapper's exit code once it has ended, or STILL_ACTIVE after a generous wait.
    DWORD ExitCode() const;

    HANDLE Handle = nullptr;
    bool Started = false;
    DWORD StartError = 0;

  private:
    std::string Service;
};
