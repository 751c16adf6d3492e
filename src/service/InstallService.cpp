// Creation of the service entry.
#include "Service.h"

namespace {

// An entry that was deleted while someone still held it open stays marked for deletion until
// the last handle closes; on the reinstall road that is usually a matter of moments.
const DWORD MarkedForDeleteRetryMs = 100;
const DWORD MarkedForDeletePatienceMs = 10000;

DWORD CreateServiceEntry(bool interactive, const std::string& binaryPath,
                         const std::string& account, const std::string& password,
                         DWORD markedForDeletePatienceMs) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return GetLastError();
    }
    const char* accountArgument = interactive || account.empty() ? nullptr : account.c_str();
    const char* passwordArgument =
        accountArgument == nullptr || password.empty() ? nullptr : password.c_str();
    const DWORD type =
        SERVICE_WIN32_OWN_PROCESS | (interactive ? SERVICE_INTERACTIVE_PROCESS : DWORD{0});
    const DWORD start = GetTickCount();
    SC_HANDLE service = nullptr;
    DWORD result = NO_ERROR;
    for (;;) {
        service =
            CreateServiceA(manager, ServiceName.c_str(), DisplayName.c_str(), SERVICE_ALL_ACCESS,
                           type, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(),
                           nullptr, nullptr, "", accountArgument, passwordArgument);
        result = service != nullptr ? NO_ERROR : GetLastError();
        if (result != ERROR_SERVICE_MARKED_FOR_DELETE ||
            GetTickCount() - start >= markedForDeletePatienceMs) {
            break;
        }
        Sleep(MarkedForDeleteRetryMs);
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

} // namespace

// InstallService: a single attempt, so that an existing entry stays untouched.
DWORD InstallService(bool interactive, const std::string& binaryPath, const std::string& account,
                     const std::string& password) {
    return CreateServiceEntry(interactive, binaryPath, account, password, 0);
}

// InstallServiceAfterRemoval: the reinstall road's creation.
DWORD InstallServiceAfterRemoval(bool interactive, const std::string& binaryPath,
                                 const std::string& account, const std::string& password) {
    return CreateServiceEntry(interactive, binaryPath, account, password,
                              MarkedForDeletePatienceMs);
}
