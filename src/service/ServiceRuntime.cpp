// Service control runtime: the dispatcher connection, the service entry function,
// the control handler and the status reports.
#include "Service.h"

#include <atomic>
#include <vector>

std::string ServiceName;
std::string DisplayName;
TServiceStartHook OnServiceStart = nullptr;
TServiceStopHook OnServiceStop = nullptr;

namespace {

std::atomic<DWORD> CurrentState{0};
// Set in CurrentState, above the state it marks, by a worker that ends the process with its
// child's exit code: from then on no stop can begin, and reports still send the state beneath.
constexpr DWORD ProcessEnding = 0x80000000;
std::atomic<SERVICE_STATUS_HANDLE> StatusHandle{nullptr};
// Sent with the STOPPED report only; every other report carries 0.
std::atomic<DWORD> StoppedExitCode{NO_ERROR};
// The first STOPPED report closes the connection to the service control manager; a call after
// it may crash the process, so a late stop control or interrogate reports nothing.
std::atomic<bool> StoppedReported{false};
// Control handlers still running. Wine runs a handler on a thread of its own and sends its
// answer once the handler has returned, which may be after the dispatcher has returned: the
// process waits for them, so that a stop control never loses its answer.
std::atomic<int> HandlersRunning{0};
const DWORD HandlerPatienceMs = 1000;
// A report reads the state and sends it under this lock, so that a report which read an
// older state is sent before one that reads STOPPED. STOPPED itself is sent outside it: Wine
// takes its own service lock for that report, and holds it while a control handler runs,
// which may be waiting here. A Win32 lock, since std::mutex would link a threads library into
// the executable.
SRWLOCK ReportLock = SRWLOCK_INIT;

void ReportServiceStatus() {
    AcquireSRWLockExclusive(&ReportLock);
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = CurrentState & ~ProcessEnding;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    const bool stopped = status.dwCurrentState == SERVICE_STOPPED;
    if (stopped) {
        status.dwWin32ExitCode = StoppedExitCode;
        ReleaseSRWLockExclusive(&ReportLock);
        if (StoppedReported.exchange(true)) {
            return;
        }
    }
    SetServiceStatus(StatusHandle, &status);
    if (!stopped) {
        ReleaseSRWLockExclusive(&ReportLock);
    }
}

// Whether a stop may still begin in the state: none is under way or done, and the process is not
// ending with the child's code.
bool StopMayBegin(DWORD state) {
    return state != SERVICE_STOP_PENDING && state != SERVICE_STOPPED &&
           (state & ProcessEnding) == 0;
}

// Moves CurrentState to next(state) unless a stop may no longer begin; only the caller that made
// the move goes on, with the stop sequence or with the end of the process.
template <typename TNext> bool MoveWhileStopMayBegin(TNext next) {
    DWORD state = CurrentState;
    while (StopMayBegin(state)) {
        if (CurrentState.compare_exchange_weak(state, next(state))) {
            return true;
        }
    }
    return false;
}

// The STOPPED report carries the code of the caller that began the stop.
void RunControl(DWORD control, DWORD stopExitCode) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
        if (!MoveWhileStopMayBegin([](DWORD) { return DWORD{SERVICE_STOP_PENDING}; })) {
            ReportServiceStatus();
            return;
        }
        StoppedExitCode = stopExitCode;
        ReportServiceStatus();
        OnServiceStop();
        CurrentState = SERVICE_STOPPED;
        ReportServiceStatus();
        return;
    case SERVICE_CONTROL_INTERROGATE:
        ReportServiceStatus();
        return;
    default:
        return;
    }
}

void CountedControl(DWORD control, DWORD stopExitCode) {
    ++HandlersRunning;
    RunControl(control, stopExitCode);
    --HandlersRunning;
}

void WINAPI ServiceControlHandler(DWORD control) {
    CountedControl(control, NO_ERROR);
}

// Returns once no control handler is still on its way out, and the last one's answer has had a
// moment to go; gives up after HandlerPatienceMs. Costs nothing where, as on Windows, the
// handler runs on the dispatcher's thread.
void WaitForHandlersToReturn() {
    const DWORD start = GetTickCount();
    while (HandlersRunning != 0 && GetTickCount() - start < HandlerPatienceMs) {
        Sleep(1);
    }
    Sleep(1);
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    StoppedReported = false;
    // Stored first: an interrogate may come as soon as the handler is registered.
    CurrentState = SERVICE_START_PENDING;
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerA(ServiceName.c_str(), ServiceControlHandler);
    // Without the handle no report and no stop reaches the service manager: a child started now
    // could never be stopped.
    if (handle == nullptr) {
        ExitProcess(GetLastError());
    }
    StatusHandle = handle;
    ReportServiceStatus();
    OnServiceStart(argc, argv);
    // A child that could not start, or ended at once, may have stopped the service already.
    DWORD expected = SERVICE_START_PENDING;
    if (CurrentState.compare_exchange_strong(expected, SERVICE_RUNNING)) {
        ReportServiceStatus();
    }
}

} // namespace

DWORD RunService() {
    std::vector<char> name(ServiceName.begin(), ServiceName.end());
    name.push_back('\0');
    SERVICE_TABLE_ENTRYA table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    const DWORD result = StartServiceCtrlDispatcherA(table) ? NO_ERROR : GetLastError();
    WaitForHandlersToReturn();
    return result;
}

void StopService(DWORD win32ExitCode) {
    CountedControl(SERVICE_CONTROL_STOP, win32ExitCode);
}

bool StopHasBegun() {
    const DWORD state = CurrentState;
    return state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED;
}

bool BeginProcessEnd() {
    return MoveWhileStopMayBegin([](DWORD state) { return state | ProcessEnding; });
}
