// The smallest honest service: reports RUNNING when started and STOPPED when asked to stop,
// and does nothing else. The benchmark measures the wrapper against it.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE StatusHandle = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(StatusHandle, &status);
}

void WINAPI ControlHandler(DWORD control) {
    // The dispatcher returns once the service reports STOPPED, and the process ends.
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOPPED);
    }
}

void WINAPI ServiceMain(DWORD, LPSTR* argv) {
    StatusHandle = RegisterServiceCtrlHandlerA(argv[0], ControlHandler);
    Report(SERVICE_RUNNING);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    char name[] = "";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
