// The smallest honest service, as Microsoft's service sample is built: the control handler
// reports STOP_PENDING and signals, and the service's own thread reports STOPPED; it does
// nothing else. The benchmark measures the wrapper against it.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
HANDLE StopRequested = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(StatusHandle, &status);
}

void WINAPI ControlHandler(DWORD control) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(StopRequested);
    }
}

// The dispatcher returns once the service reports STOPPED, and the process ends.
void WINAPI ServiceMain(DWORD, LPSTR* argv) {
    StatusHandle = RegisterServiceCtrlHandlerA(argv[0], ControlHandler);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(StopRequested, INFINITE);
    Report(SERVICE_STOPPED);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    StopRequested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
