// A small real service for the removal tests. Its stop behaviour comes from its command line:
//   StopBehaviourService.exe <pending ms> <check point every ms> <wait hint ms> [options]
// Options after these are ignored: the tests add the wrapper's own, so that -uninstall takes
// the entry for one it wrote.
// It stays in STOP_PENDING for <pending ms> after the stop control, reporting the wait hint
// and moving its check point every <check point every ms> (never when 0). With <pending ms>
// 0 the control handler reports STOPPED and ends the process at once, before the stop
// control has been answered.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

namespace {

DWORD PendingMs = 0;
DWORD CheckPointEveryMs = 0;
DWORD WaitHintMs = 0;
SERVICE_STATUS_HANDLE StatusHandle = nullptr;
HANDLE StopRequested = nullptr;

void Report(DWORD state, DWORD checkPoint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? WaitHintMs : 0;
    SetServiceStatus(StatusHandle, &status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP && PendingMs == 0) {
        Report(SERVICE_STOPPED, 0);
        ExitProcess(0);
    }
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 1);
        SetEvent(StopRequested);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPSTR* argv) {
    StatusHandle = RegisterServiceCtrlHandlerExA(argv[0], ControlHandler, nullptr);
    Report(SERVICE_RUNNING, 0);
    WaitForSingleObject(StopRequested, INFINITE);
    if (PendingMs == 0) {
        return;
    }
    DWORD checkPoint = 1;
    for (DWORD waited = 0; waited < PendingMs;) {
        const DWORD slice = CheckPointEveryMs == 0
                                ? PendingMs - waited
                                : std::min(CheckPointEveryMs, PendingMs - waited);
        Sleep(slice);
        waited += slice;
        if (CheckPointEveryMs != 0) {
            Report(SERVICE_STOP_PENDING, ++checkPoint);
        }
    }
    Report(SERVICE_STOPPED, 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return 2;
    }
    PendingMs = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
    CheckPointEveryMs = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    WaitHintMs = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    StopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
