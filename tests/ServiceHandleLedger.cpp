#include "ServiceHandleLedger.h"

#include "ImportRedirect.h"

#include <vector>

namespace {

using TOpenManager = SC_HANDLE(WINAPI*)(LPCSTR, LPCSTR, DWORD);
using TOpenService = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCSTR, DWORD);
using TCreateService = SC_HANDLE(WINAPI*)(SC_HANDLE, LPCSTR, LPCSTR, DWORD, DWORD, DWORD, DWORD,
                                          LPCSTR, LPCSTR, LPDWORD, LPCSTR, LPCSTR, LPCSTR);
using TCloseHandle = BOOL(WINAPI*)(SC_HANDLE);

TOpenManager RealOpenManager = nullptr;
TOpenService RealOpenService = nullptr;
TCreateService RealCreateService = nullptr;
TCloseHandle RealCloseHandle = nullptr;

std::vector<SC_HANDLE> OpenHandles;
size_t OpenedCount = 0;
size_t OutOfOrderCount = 0;

SC_HANDLE Remember(SC_HANDLE handle) {
    if (handle != nullptr) {
        OpenHandles.push_back(handle);
        ++OpenedCount;
    }
    return handle;
}

SC_HANDLE WINAPI CountedOpenManager(LPCSTR machine, LPCSTR database, DWORD access) {
    return Remember(RealOpenManager(machine, database, access));
}

SC_HANDLE WINAPI CountedOpenService(SC_HANDLE manager, LPCSTR name, DWORD access) {
    return Remember(RealOpenService(manager, name, access));
}

SC_HANDLE WINAPI CountedCreateService(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access,
                                      DWORD type, DWORD start, DWORD errorControl, LPCSTR path,
                                      LPCSTR group, LPDWORD tag, LPCSTR dependencies,
                                      LPCSTR account, LPCSTR password) {
    return Remember(RealCreateService(manager, name, display, access, type, start, errorControl,
                                      path, group, tag, dependencies, account, password));
}

BOOL WINAPI CountedClose(SC_HANDLE handle) {
    if (OpenHandles.empty() || OpenHandles.back() != handle) {
        ++OutOfOrderCount;
    }
    for (auto i = OpenHandles.begin(); i != OpenHandles.end(); ++i) {
        if (*i == handle) {
            OpenHandles.erase(i);
            break;
        }
    }
    return RealCloseHandle(handle);
}

} // namespace

TServiceHandleLedger::TServiceHandleLedger() {
    OpenHandles.clear();
    OpenedCount = 0;
    OutOfOrderCount = 0;
    SwapImport("advapi32.dll", "OpenSCManagerA", RealOpenManager, &CountedOpenManager);
    SwapImport("advapi32.dll", "OpenServiceA", RealOpenService, &CountedOpenService);
    SwapImport("advapi32.dll", "CreateServiceA", RealCreateService, &CountedCreateService);
    SwapImport("advapi32.dll", "CloseServiceHandle", RealCloseHandle, &CountedClose);
}

TServiceHandleLedger::~TServiceHandleLedger() {
    RestoreImport("advapi32.dll", "OpenSCManagerA", RealOpenManager);
    RestoreImport("advapi32.dll", "OpenServiceA", RealOpenService);
    RestoreImport("advapi32.dll", "CreateServiceA", RealCreateService);
    RestoreImport("advapi32.dll", "CloseServiceHandle", RealCloseHandle);
}

bool TServiceHandleLedger::Watching() const {
    return RealOpenManager != nullptr && RealOpenService != nullptr &&
           RealCreateService != nullptr && RealCloseHandle != nullptr;
}

size_t TServiceHandleLedger::Opened() const {
    return OpenedCount;
}

size_t TServiceHandleLedger::StillOpen() const {
    return OpenHandles.size();
}

size_t TServiceHandleLedger::ClosedOutOfOrder() const {
    return OutOfOrderCount;
}
