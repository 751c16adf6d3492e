#include "ServiceHandleLedger.h"

#include <cstring>
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

// The slot of this executable's import address table that holds an advapi32 function.
ULONG_PTR* ImportSlot(const char* function) {
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + dll->Name), "advapi32.dll") != 0) {
            continue;
        }
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName =
                reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
            }
        }
    }
    return nullptr;
}

// Puts the replacement into the slot; returns what was there, or 0 without a slot.
ULONG_PTR Redirect(const char* function, ULONG_PTR replacement) {
    ULONG_PTR* slot = ImportSlot(function);
    if (slot == nullptr) {
        return 0;
    }
    DWORD protection = 0;
    VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection);
    const ULONG_PTR previous = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof(*slot), protection, &protection);
    return previous;
}

template <typename TFunction> void Swap(const char* function, TFunction& real, TFunction standIn) {
    const ULONG_PTR previous = Redirect(function, reinterpret_cast<ULONG_PTR>(standIn));
    real = reinterpret_cast<TFunction>(previous);
}

template <typename TFunction> void Restore(const char* function, TFunction& real) {
    if (real != nullptr) {
        Redirect(function, reinterpret_cast<ULONG_PTR>(real));
        real = nullptr;
    }
}

} // namespace

TServiceHandleLedger::TServiceHandleLedger() {
    OpenHandles.clear();
    OpenedCount = 0;
    OutOfOrderCount = 0;
    Swap("OpenSCManagerA", RealOpenManager, &CountedOpenManager);
    Swap("OpenServiceA", RealOpenService, &CountedOpenService);
    Swap("CreateServiceA", RealCreateService, &CountedCreateService);
    Swap("CloseServiceHandle", RealCloseHandle, &CountedClose);
}

TServiceHandleLedger::~TServiceHandleLedger() {
    Restore("OpenSCManagerA", RealOpenManager);
    Restore("OpenServiceA", RealOpenService);
    Restore("CreateServiceA", RealCreateService);
    Restore("CloseServiceHandle", RealCloseHandle);
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
