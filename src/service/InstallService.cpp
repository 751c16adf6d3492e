// Creation of the service entry.
#include "Service.h"

// InstallService: a single attempt, so that an existing entry stays untouched.
void InstallService(bool interactive, const std::string& binaryPath, const std::string& account,
                    const std::string& password) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return;
    }
    const char* accountArgument = interactive || account.empty() ? nullptr : account.c_str();
    const char* passwordArgument =
        accountArgument == nullptr || password.empty() ? nullptr : password.c_str();
    const DWORD type =
        SERVICE_WIN32_OWN_PROCESS | (interactive ? SERVICE_INTERACTIVE_PROCESS : DWORD{0});
    SC_HANDLE service =
        CreateServiceA(manager, ServiceName.c_str(), DisplayName.c_str(), SERVICE_ALL_ACCESS, type,
                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr,
                       nullptr, "", accountArgument, passwordArgument);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}
