#include "ServiceSupport.h"

#include <vector>

namespace {

// Owns one service control manager handle for the length of a call.
class TManager {
  public:
    TManager() : Handle(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {}
    TManager(const TManager&) = delete;
    TManager& operator=(const TManager&) = delete;
    ~TManager() {
        if (Handle != nullptr) {
            CloseServiceHandle(Handle);
        }
    }
    SC_HANDLE Handle;
};

} // namespace

SC_HANDLE OpenServiceNamed(const std::string& name) {
    TManager manager;
    return manager.Handle == nullptr
               ? nullptr
               : OpenServiceA(manager.Handle, name.c_str(), SERVICE_ALL_ACCESS);
}

SERVICE_STATUS_PROCESS QueryStatus(const std::string& name) {
    SERVICE_STATUS_PROCESS status{};
    SC_HANDLE service = OpenServiceNamed(name);
    if (service != nullptr) {
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                  sizeof(status), &needed)) {
            status = SERVICE_STATUS_PROCESS{};
        }
        CloseServiceHandle(service);
    }
    return status;
}

SERVICE_STATUS_PROCESS WaitForState(const std::string& name, DWORD state, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    SERVICE_STATUS_PROCESS status = QueryStatus(name);
    while (status.dwCurrentState != state && GetTickCount64() < deadline) {
        Sleep(5);
        status = QueryStatus(name);
    }
    return status;
}

bool StartServiceNamed(const std::string& name) {
    // Wine now and then answers 6 (invalid handle) to a start under load; a retry succeeds.
    for (int attempt = 0; attempt < 3; ++attempt) {
        SC_HANDLE service = OpenServiceNamed(name);
        const bool started = service != nullptr && StartServiceA(service, 0, nullptr);
        const DWORD error = GetLastError();
        if (service != nullptr) {
            CloseServiceHandle(service);
        }
        SetLastError(error);
        if (started || error != ERROR_INVALID_HANDLE) {
            return started;
        }
    }
    return false;
}

void SendControl(const std::string& name, DWORD control) {
    SC_HANDLE service = OpenServiceNamed(name);
    if (service != nullptr) {
        SERVICE_STATUS status{};
        ControlService(service, control, &status);
        CloseServiceHandle(service);
    }
}

bool ServiceExists(const std::string& name) {
    SC_HANDLE service = OpenServiceNamed(name);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    return service != nullptr;
}

TServiceConfig ConfigOf(const std::string& name) {
    TServiceConfig result;
    SC_HANDLE service = OpenServiceNamed(name);
    if (service == nullptr) {
        return result;
    }
    DWORD needed = 0;
    QueryServiceConfigA(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(QUERY_SERVICE_CONFIGA));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    if (QueryServiceConfigA(service, config, static_cast<DWORD>(buffer.size()), &needed)) {
        result.Type = config->dwServiceType;
        result.StartType = config->dwStartType;
        result.ErrorControl = config->dwErrorControl;
        result.BinaryPath = config->lpBinaryPathName ? config->lpBinaryPathName : "";
        result.Account = config->lpServiceStartName ? config->lpServiceStartName : "";
        result.DisplayName = config->lpDisplayName ? config->lpDisplayName : "";
    }
    CloseServiceHandle(service);
    return result;
}

std::string BinaryPathOf(const std::string& name) {
    return ConfigOf(name).BinaryPath;
}

bool WaitUntilGone(const std::string& name, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (ServiceExists(name)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

void StopAndDelete(const std::string& name) {
    SC_HANDLE service = OpenServiceNamed(name);
    if (service == nullptr) {
        return;
    }
    SERVICE_STATUS status{};
    // Nothing to wait for when nothing runs: Wine answers 232 for a service whose process
    // ended without reporting STOPPED, and keeps showing it RUNNING.
    const DWORD error =
        ControlService(service, SERVICE_CONTROL_STOP, &status) ? NO_ERROR : GetLastError();
    if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_NO_DATA) {
        WaitForState(name, SERVICE_STOPPED, 15000);
    }
    DeleteService(service);
    CloseServiceHandle(service);
}

TServiceCleanup::TServiceCleanup(const std::string& name) : ServiceName(name) {
    StopAndDelete(name);
}

TServiceCleanup::~TServiceCleanup() {
    StopAndDelete(ServiceName);
}

TServiceEntry::TServiceEntry(const std::string& name, const std::string& binaryPath,
                             DWORD startType)
    : Cleanup(name) {
    TManager manager;
    // The manager finishes deleting an entry of the same name shortly after its process ends.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    SC_HANDLE service = nullptr;
    do {
        service = CreateServiceA(manager.Handle, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL,
                                 binaryPath.c_str(), nullptr, nullptr, "", nullptr, nullptr);
    } while (service == nullptr && GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE &&
             GetTickCount64() < deadline && (Sleep(20), true));
    Ok = service != nullptr;
    if (Ok) {
        CloseServiceHandle(service);
    }
}
