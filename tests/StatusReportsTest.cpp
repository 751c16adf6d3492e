// The order of the service's status reports, with the dispatcher stood in for in-process and
// the hooks set to test doubles: the races around a start and a stop are forced, not hoped for.
#include "DispatcherStandIn.h"
#include "Service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using States = std::vector<DWORD>;

std::atomic<int> StopHookCalls{0};
// What else happens while the stop hook runs; set by each test.
void (*DuringStop)() = nullptr;

void CountingStopHook() {
    ++StopHookCalls;
    if (DuringStop != nullptr) {
        DuringStop();
    }
}

// Runs the service through the stand-in dispatcher, with the start hook given; every case
// stops the service before the start hook returns, as a child that cannot start does. In every
// order STOPPED is sent once, and last: a report after it may crash the process on Windows.
States RunWith(TServiceStartHook start, void (*duringStop)(), bool handlersOnOwnThreads = false) {
    TDispatcherStandIn dispatcher(handlersOnOwnThreads);
    EXPECT_TRUE(dispatcher.Watching());
    StopHookCalls = 0;
    DuringStop = duringStop;
    OnServiceStart = start;
    OnServiceStop = CountingStopHook;
    ServiceName = "StatusReports";
    EXPECT_EQ(RunService(), DWORD{NO_ERROR}) << "the service did not end STOPPED";
    TDispatcherStandIn::ProcessEnds();
    EXPECT_EQ(TDispatcherStandIn::LostAnswers(), 0) << "the process ended inside a handler";
    const States states = ReportedStates();
    EXPECT_EQ(std::count(states.begin(), states.end(), DWORD{SERVICE_STOPPED}), 1);
    EXPECT_TRUE(!states.empty() && states.back() == SERVICE_STOPPED);
    return states;
}

} // namespace

TEST(StatusReports, StopDuringTheStartEndsStoppedWithNothingAfter) {
    const States states =
        RunWith([](DWORD, LPSTR*) { StopService(ERROR_FILE_NOT_FOUND); }, nullptr);
    EXPECT_EQ(states, (States{SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(StopHookCalls, 1);
    // The launch error goes with STOPPED alone.
    for (const SERVICE_STATUS& status : TDispatcherStandIn::Reports()) {
        EXPECT_EQ(status.dwWin32ExitCode,
                  status.dwCurrentState == SERVICE_STOPPED ? DWORD{ERROR_FILE_NOT_FOUND} : 0u);
    }
}

TEST(StatusReports, StopControlAndTheWorkersOwnStopRunTheStopOnce) {
    const States expected{SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING,
                          SERVICE_STOPPED};
    // The worker's own stop is under way when a stop control arrives.
    EXPECT_EQ(RunWith([](DWORD, LPSTR*) { StopService(); },
                      [] { TDispatcherStandIn::Control(SERVICE_CONTROL_STOP); }),
              expected);
    EXPECT_EQ(StopHookCalls, 1);
    // A stop control is under way when the worker stops the service from its own thread.
    EXPECT_EQ(RunWith([](DWORD, LPSTR*) { TDispatcherStandIn::Control(SERVICE_CONTROL_STOP); },
                      [] { std::thread([] { StopService(); }).join(); }),
              expected);
    EXPECT_EQ(StopHookCalls, 1);
    // A stop control once the worker's own stop has finished: nothing more is sent.
    EXPECT_EQ(RunWith(
                  [](DWORD, LPSTR*) {
                      StopService();
                      TDispatcherStandIn::Control(SERVICE_CONTROL_STOP);
                  },
                  nullptr),
              (States{SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(StopHookCalls, 1);
}

TEST(StatusReports, ProcessEndsOnlyOnceAStopHandlerOnAThreadOfItsOwnHasReturned) {
    // Wine answers a control once its handler has returned, and the dispatcher may return
    // first: ending the process then loses the answer, and net stop fails with "Broken pipe".
    RunWith([](DWORD, LPSTR*) { TDispatcherStandIn::Control(SERVICE_CONTROL_STOP); }, nullptr,
            true);
    EXPECT_EQ(StopHookCalls, 1);
}

TEST(StatusReports, InterrogateReReportsTheStateUntilStoppedAndPauseOrContinueReportNothing) {
    const States states = RunWith(
        [](DWORD, LPSTR*) {
            for (DWORD control :
                 {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE}) {
                TDispatcherStandIn::Control(control);
            }
            StopService();
            TDispatcherStandIn::Control(SERVICE_CONTROL_INTERROGATE);
        },
        nullptr);
    EXPECT_EQ(states, (States{SERVICE_START_PENDING, SERVICE_START_PENDING, SERVICE_STOP_PENDING,
                              SERVICE_STOPPED}));
    for (const SERVICE_STATUS& status : TDispatcherStandIn::Reports()) {
        EXPECT_EQ(status.dwControlsAccepted, DWORD{SERVICE_ACCEPT_STOP});
    }
}
