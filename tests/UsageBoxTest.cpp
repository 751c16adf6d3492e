// The usage box where nobody could close it, in-process. Under Wine every process runs in the
// visible window station WinSta0 of session 1, active, so an invisible one (a deployment agent's),
// session 0 and a disconnected session are stood in for: the product loads user32 on demand, and
// this executable's GetProcAddress hands it stand-ins for the window station's flags and for the
// box.
#include "ImportRedirect.h"
#include "VornicService.h"

#include <gtest/gtest.h>

#include <wtsapi32.h>

#include <cstring>

namespace {

using TGetCommandLine = LPSTR(WINAPI*)();
using TGetProcAddress = FARPROC(WINAPI*)(HMODULE, LPCSTR);

TGetCommandLine RealGetCommandLine = nullptr;
TGetProcAddress RealGetProcAddress = nullptr;
decltype(&ProcessIdToSessionId) RealProcessIdToSessionId = nullptr;
char StoodInLine[64] = {};
DWORD StationFlags = 0;
DWORD Session = 1;
WTS_CONNECTSTATE_CLASS ConnectState = WTSActive;
int BoxesShown = 0;

LPSTR WINAPI StandInGetCommandLine() {
    return StoodInLine;
}

// The product asks for UOI_FLAGS with a USEROBJECTFLAGS record.
BOOL WINAPI StandInObjectInformation(HANDLE, int, PVOID information, DWORD, LPDWORD needed) {
    USEROBJECTFLAGS flags{};
    flags.dwFlags = StationFlags;
    std::memcpy(information, &flags, sizeof(flags));
    *needed = sizeof(flags);
    return TRUE;
}

BOOL WINAPI StandInProcessIdToSessionId(DWORD, DWORD* session) {
    *session = Session;
    return TRUE;
}

BOOL WINAPI StandInQuerySession(HANDLE, DWORD, WTS_INFO_CLASS, LPSTR* buffer, DWORD* size) {
    *buffer = reinterpret_cast<LPSTR>(&ConnectState);
    *size = sizeof(ConnectState);
    return TRUE;
}

void WINAPI StandInFreeMemory(PVOID) {}

int WINAPI StandInMessageBox(HWND, LPCSTR, LPCSTR, UINT) {
    ++BoxesShown;
    return IDOK;
}

template <typename TFunction> FARPROC AsFarProc(TFunction function) {
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

FARPROC WINAPI StandInGetProcAddress(HMODULE module, LPCSTR name) {
    if (!IS_INTRESOURCE(name) && std::strcmp(name, "GetUserObjectInformationA") == 0) {
        return AsFarProc(&StandInObjectInformation);
    }
    if (!IS_INTRESOURCE(name) && std::strcmp(name, "MessageBoxA") == 0) {
        return AsFarProc(&StandInMessageBox);
    }
    if (!IS_INTRESOURCE(name) && std::strcmp(name, "WTSQuerySessionInformationA") == 0) {
        return AsFarProc(&StandInQuerySession);
    }
    if (!IS_INTRESOURCE(name) && std::strcmp(name, "WTSFreeMemory") == 0) {
        return AsFarProc(&StandInFreeMemory);
    }
    return RealGetProcAddress(module, name);
}

class TStandIns {
  public:
    TStandIns() {
        SwapImport("kernel32.dll", "GetCommandLineA", RealGetCommandLine, &StandInGetCommandLine);
        SwapImport("kernel32.dll", "GetProcAddress", RealGetProcAddress, &StandInGetProcAddress);
        SwapImport("kernel32.dll", "ProcessIdToSessionId", RealProcessIdToSessionId,
                   &StandInProcessIdToSessionId);
    }
    TStandIns(const TStandIns&) = delete;
    TStandIns& operator=(const TStandIns&) = delete;
    ~TStandIns() {
        RestoreImport("kernel32.dll", "GetCommandLineA", RealGetCommandLine);
        RestoreImport("kernel32.dll", "GetProcAddress", RealGetProcAddress);
        RestoreImport("kernel32.dll", "ProcessIdToSessionId", RealProcessIdToSessionId);
    }
    bool Watching() const {
        return RealGetCommandLine != nullptr && RealGetProcAddress != nullptr;
    }
};

} // namespace

TEST(UsageBox, IsShownOnlyInAVisibleWindowStationOutsideSessionZeroAndTheRoadKeepsItsCode) {
    TStandIns standIns;
    ASSERT_TRUE(standIns.Watching());
    const struct {
        const char* Line;
        DWORD Flags;
        DWORD ExitCode;
        int Boxes;
        DWORD Session = 1;
        WTS_CONNECTSTATE_CLASS State = WTSActive;
    } cases[] = {{"w.exe", 0, NO_ERROR, 0},
                 {"w.exe -name:Svc", 0, ERROR_INVALID_PARAMETER, 0},
                 {"w.exe -install -launch:x.exe", 0, ERROR_INVALID_PARAMETER, 0},
                 {"w.exe", WSF_VISIBLE, NO_ERROR, 1},
                 {"w.exe -name:Svc", WSF_VISIBLE, ERROR_INVALID_PARAMETER, 1},
                 {"w.exe", WSF_VISIBLE, NO_ERROR, 0, 0},
                 {"w.exe -name:Svc", WSF_VISIBLE, ERROR_INVALID_PARAMETER, 0, 0},
                 {"w.exe", WSF_VISIBLE, NO_ERROR, 0, 1, WTSDisconnected},
                 {"w.exe -name:Svc", WSF_VISIBLE, ERROR_INVALID_PARAMETER, 0, 1, WTSDisconnected}};
    for (const auto& c : cases) {
        std::strcpy(StoodInLine, c.Line);
        StationFlags = c.Flags;
        Session = c.Session;
        ConnectState = c.State;
        BoxesShown = 0;
        EXPECT_EQ(RunEntry(), c.ExitCode) << c.Line;
        EXPECT_EQ(BoxesShown, c.Boxes)
            << c.Line << " flags " << c.Flags << " session " << c.Session << " state " << c.State;
    }
}
