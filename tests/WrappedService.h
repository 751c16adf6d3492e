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

// Programs that Windows and Wine ship, by their full paths.
extern const std::string Cmd;
extern const std::string Ping;
extern const std::string Net;

// Writes a batch file of the given lines into the temporary folder; returns its path.
std::string WriteBatch(const std::string& name, const std::string& lines);

// The id of the process that the given one started, once it exists; 0 after a generous wait.
DWORD StartedBy(DWORD parentId);

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

// How a race cycle ends the running service: with a stop control, or by ending the wrapper's
// process from outside, as taskkill /f would.
enum class TRaceEnd { StopControl, Kill };

// One cycle of the races around a stop: a start, a pause, a stop control, and what was left.
struct TStopRace {
    bool Started = false;
    DWORD StartError = 0;
    bool Stopped = false; // STOPPED within a generous wait
    // The state once the wrapper has ended: Wine keeps the last one reported when the process
    // ended without STOPPED.
    DWORD LastState = 0;
    // The wrapper's process was opened before it ended; only then are the two below known.
    bool Watched = false;
    DWORD ExitCode = STILL_ACTIVE; // the wrapper's; STILL_ACTIVE if it did not end
    bool ChildLeftBehind = false;  // the wrapper's child still ran after a generous wait
};

// The launch command of race cycle number n around ChildHelper: mostly a child that ends by
// itself after childLifeMs, around the moment of the stop; now and then one that runs until
// stopped, or a command that cannot start.
std::string RaceLaunch(int n, DWORD childLifeMs, const std::string& report);

// Runs one race cycle on a service entry of the given name, created and deleted here; a child
// left behind is terminated.
TStopRace RunStopRace(const std::string& name, const std::string& launch, DWORD pauseMs,
                      TRaceEnd end = TRaceEnd::StopControl);
