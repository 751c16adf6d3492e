// Service module: the settings and hooks shared with the entry, the service
// control runtime, and the registration of the service entry.
#pragma once

#include <windows.h>

#include <string>

// Settings, filled once by the entry.
extern std::string ServiceName;
extern std::string DisplayName;

// Hooks, pointed by the entry at the worker before anything else happens.
using TServiceStartHook = void (*)(DWORD argc, LPSTR* argv);
using TServiceStopHook = void (*)();
extern TServiceStartHook OnServiceStart;
extern TServiceStopHook OnServiceStop;

// The operations below return 0 (NO_ERROR) when they did what was asked, otherwise the Win32
// error code of what failed; the entry ends the process with it.

// Connects the main thread to the dispatcher; returns 0 once the service has stopped, or the
// dispatcher's error at once when the process was not started by the service control manager.
DWORD RunService();

// The program's own request to stop the service, the same as a stop control. When it begins the
// stop, the STOPPED report carries the exit code, so that the service manager shows why the
// service ended.
void StopService(DWORD win32ExitCode = NO_ERROR);

// Whether a stop has begun: STOP_PENDING has been reported, or is about to be.
bool StopHasBegun();

// Claims the end of the process for a worker whose child failed, unless a stop has begun: true
// when the caller may end the process with the child's code; false when the stop must run, since
// the service control manager has been told the service is stopping.
bool BeginProcessEnd();

// Creates the auto-start service entry named ServiceName; an existing entry is left as it is.
DWORD InstallService(bool interactive, const std::string& binaryPath, const std::string& account,
                     const std::string& password);

// As InstallService, but waits up to 10 s for a just removed entry of the same name that
// someone else still holds open to go away.
DWORD InstallServiceAfterRemoval(bool interactive, const std::string& binaryPath,
                                 const std::string& account, const std::string& password);

// Stops the service named ServiceName while it makes progress, then deletes it. An entry whose
// stored command line this program did not write for that name is left as it is:
// ERROR_SERVICE_NOT_IN_EXE. A service that stops making progress is left in place:
// ERROR_SERVICE_REQUEST_TIMEOUT.
DWORD RemoveService();
