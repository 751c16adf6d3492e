// Stands in for the service control manager's dispatcher inside the test process, so that the
// order of the status reports can be forced and read, not left to the platform's timing.
#pragma once

#include <windows.h>

#include <vector>

// While it lives, this executable's imports of StartServiceCtrlDispatcherA,
// RegisterServiceCtrlHandlerA and SetServiceStatus go through stand-ins. The dispatcher runs
// the service entry function on a thread of its own and the control handler on its own thread,
// as Windows does; it returns once STOPPED has been reported and the entry function has ended,
// so that a report sent after STOPPED is recorded too. It gives up after 10 s.
// With handlersOnOwnThreads, each control's handler runs on a thread of its own, as under Wine,
// and the dispatcher does not wait for it; a handler that has reported STOPPED takes 200 ms to
// return, and its answer counts as lost when the process has ended by then.
class TDispatcherStandIn {
  public:
    explicit TDispatcherStandIn(bool handlersOnOwnThreads = false);
    TDispatcherStandIn(const TDispatcherStandIn&) = delete;
    TDispatcherStandIn& operator=(const TDispatcherStandIn&) = delete;
    ~TDispatcherStandIn();

    // Whether all three imports were found and redirected.
    bool Watching() const;
    // Delivers a control through the dispatcher's thread and returns once the handler has;
    // call it from any other thread while the service runs.
    static void Control(DWORD control);
    // Queues a control for the dispatcher's thread and returns once the service has reported the
    // state, without waiting for the handler: for a control that must arrive while the caller
    // holds up what the handler then waits for.
    static void ControlUntilReported(DWORD control, DWORD state);
    // Every status sent, in order.
    static std::vector<SERVICE_STATUS> Reports();
    // The service's process ends now; a handler still running loses its answer.
    static void ProcessEnds();
    // Waits for the handlers still running, then counts the answers they lost.
    static int LostAnswers();
};

// The states of the reports, in order.
std::vector<DWORD> ReportedStates();
