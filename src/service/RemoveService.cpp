// Stopping and deletion of the service entry.
#include "Service.h"

#include "VornicService.h"

#include <vector>

namespace {

// However long a service says its stop will take, each sleep of the removal ends after this:
// a wait hint of 0xFFFFFFFF would otherwise hang the administrator's command for ever.
const DWORD LongestWaitHintSleepMs = 10000;

// A failed query leaves the record as it was: the last status that arrived still counts.
bool QueryInto(SC_HANDLE service, SERVICE_STATUS& status) {
    SERVICE_STATUS fresh{};
    if (!QueryServiceStatus(service, &fresh)) {
        return false;
    }
    status = fresh;
    return true;
}

// A mistyped name must not stop or delete a service that this program did not write, such as
// the print spooler: 0 when the stored command line is one of ours for the name.
DWORD CheckOwnEntry(SC_HANDLE service) {
    // Asked for its size first: an entry may fill the call's whole 8 KiB, more than a fixed array
    // of whole records holds (8,172 bytes on 32-bit Windows). Records keep the strings aligned.
    DWORD needed = 0;
    if (!QueryServiceConfigA(service, nullptr, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return GetLastError();
    }
    std::vector<QUERY_SERVICE_CONFIGA> config(needed / sizeof(QUERY_SERVICE_CONFIGA) + 1);
    const auto size = static_cast<DWORD>(config.size() * sizeof(QUERY_SERVICE_CONFIGA));
    if (!QueryServiceConfigA(service, config.data(), size, &needed)) {
        return GetLastError();
    }
    const char* binaryPath = config[0].lpBinaryPathName;
    return binaryPath != nullptr && IsServiceCommandLineOf(binaryPath, ServiceName)
               ? NO_ERROR
               : ERROR_SERVICE_NOT_IN_EXE;
}

// Stops the service and waits while its check point moves; 0 once it may be deleted,
// otherwise the error of the call that failed, or ERROR_SERVICE_REQUEST_TIMEOUT.
DWORD StopForRemoval(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryInto(service, status)) {
        return GetLastError();
    }
    if (status.dwCurrentState == SERVICE_STOPPED) {
        return NO_ERROR;
    }
    // A refused control still fills the record: a service that stopped in the meantime
    // (1062), or one whose process ended before the answer came back (Wine's 109), says so.
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) &&
        status.dwCurrentState != SERVICE_STOPPED) {
        return GetLastError();
    }
    DWORD lastCheckPoint = status.dwCheckPoint;
    for (;;) {
        // A failed query here is not final: the last status that arrived decides.
        if (!QueryInto(service, status)) {
            return status.dwCurrentState == SERVICE_STOPPED ? NO_ERROR : GetLastError();
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            return NO_ERROR;
        }
        int triesLeft = 3;
        do {
            Sleep(status.dwWaitHint < LongestWaitHintSleepMs ? status.dwWaitHint
                                                             : LongestWaitHintSleepMs);
            if (!QueryInto(service, status)) {
                return GetLastError();
            }
            --triesLeft;
        } while (status.dwCurrentState != SERVICE_STOPPED &&
                 status.dwCheckPoint == lastCheckPoint && triesLeft > 0);
        if (status.dwCurrentState == SERVICE_STOPPED) {
            return NO_ERROR;
        }
        if (status.dwCheckPoint == lastCheckPoint) {
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        lastCheckPoint = status.dwCheckPoint;
    }
}

} // namespace

// RemoveService: an entry of another program, and a service that stops making progress, are
// left in place.
DWORD RemoveService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return GetLastError();
    }
    SC_HANDLE service = OpenServiceA(manager, ServiceName.c_str(), SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return error;
    }
    DWORD result = CheckOwnEntry(service);
    if (result == NO_ERROR) {
        result = StopForRemoval(service);
    }
    if (result == NO_ERROR && !DeleteService(service)) {
        result = GetLastError();
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}
