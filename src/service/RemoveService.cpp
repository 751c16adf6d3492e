// Stopping and deletion of the service entry.
#include "Service.h"

namespace {

// A failed query leaves the record as it was: the last status that arrived still counts.
bool QueryInto(SC_HANDLE service, SERVICE_STATUS& status) {
    SERVICE_STATUS fresh{};
    if (!QueryServiceStatus(service, &fresh)) {
        return false;
    }
    status = fresh;
    return true;
}

// Stops the service and waits while its check point moves; true once it may be deleted.
bool StopForRemoval(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryInto(service, status)) {
        return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        return true;
    }
    // A refused control still fills the record: a service that stopped in the meantime
    // (1062), or one whose process ended before the answer came back (Wine's 109), says so.
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        status.dwCurrentState != SERVICE_STOPPED) {
        return false;
    }
    DWORD lastCheckPoint = status.dwCheckPoint;
    while (QueryInto(service, status) && status.dwCurrentState != SERVICE_STOPPED) {
        int triesLeft = 3;
        do {
            Sleep(status.dwWaitHint);
            if (!QueryInto(service, status)) {
                return false;
            }
            --triesLeft;
        } while (status.dwCurrentState != SERVICE_STOPPED &&
                 status.dwCheckPoint == lastCheckPoint && triesLeft > 0);
        if (status.dwCurrentState == SERVICE_STOPPED || status.dwCheckPoint == lastCheckPoint) {
            break;
        }
        lastCheckPoint = status.dwCheckPoint;
    }
    return status.dwCurrentState == SERVICE_STOPPED;
}

} // namespace

// RemoveService: a service that stops making progress is left in place, not deleted.
void RemoveService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, ServiceName.c_str(), SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        CloseServiceHandle(manager);
        return;
    }
    if (StopForRemoval(service)) {
        DeleteService(service);
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}
