// Mode selection: which road the command line asks for, and the usage box.
#include "VornicService.h"

#include "../service/Service.h"

#include <wtsapi32.h>

std::string CommandLine;
std::string WorkingDirectory;
std::string LaunchCommand;

namespace {

// A box where nobody can see it (session 0, a deployment agent's window station) would wait for
// ever, and the command that started the program with it.
bool WindowStationIsVisible() {
    const auto processStation =
        User32Function<decltype(&GetProcessWindowStation)>("GetProcessWindowStation");
    const auto information =
        User32Function<decltype(&GetUserObjectInformationA)>("GetUserObjectInformationA");
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    return processStation != nullptr && information != nullptr &&
           information(processStation(), UOI_FLAGS, &flags, sizeof(flags), &needed) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Session 0's WinSta0 counts as visible, yet since Windows Vista no user's desktop shows it.
bool RunsInSessionZero() {
    DWORD session = 0;
    return ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0;
}

// A disconnected session's WinSta0 stays visible too, and nobody sees it: a task that runs only
// when its user is logged on goes on running there after the user disconnects.
bool SessionIsActive() {
    const auto query = SystemFunction<decltype(&WTSQuerySessionInformationA)>(
        "wtsapi32.dll", "WTSQuerySessionInformationA");
    const auto release = SystemFunction<decltype(&WTSFreeMemory)>("wtsapi32.dll", "WTSFreeMemory");
    LPSTR buffer = nullptr;
    DWORD size = 0;
    // Windows tells the state of every session. Where nothing can (Wine 8 answers 126, having one
    // session, the user's), the box is shown as before.
    if (query == nullptr || release == nullptr ||
        !query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSConnectState, &buffer, &size)) {
        return true;
    }
    const bool active = size >= sizeof(WTS_CONNECTSTATE_CLASS) &&
                        *reinterpret_cast<const WTS_CONNECTSTATE_CLASS*>(buffer) == WTSActive;
    release(buffer);
    return active;
}

// -install and -reinstall refuse what the service would refuse to run: the stored path would name
// a wrapper that an ordinary user could replace, or the launch command a program they could. A
// program that does not exist yet is the administrator's to put in place.
DWORD CheckInstalledFiles(const std::string& launchCommand) {
    const std::string wrapper = Parameter(0);
    const DWORD wrapperRights = CheckProgramProtection(wrapper);
    if (wrapperRights != NO_ERROR) {
        return wrapperRights;
    }
    TChildLaunch launch;
    const DWORD launchRights =
        PrepareChildLaunch(CompleteCommandLine(launchCommand, ExtractDirectory(wrapper)), launch);
    return launchRights == ERROR_FILE_NOT_FOUND ? NO_ERROR : launchRights;
}

} // namespace

void ShowUsage() {
    if (RunsInSessionZero() || !WindowStationIsVisible() || !SessionIsActive()) {
        return;
    }
    const std::string text = Parameter(0) + " -(install|reinstall|uninstall) -name:\"service name\""
                                            " -launch:\"path\\application.exe -parameters\"";
    const auto messageBox = User32Function<decltype(&MessageBoxA)>("MessageBoxA");
    if (messageBox != nullptr) {
        messageBox(nullptr, text.c_str(), "Help", MB_OK);
    }
}

DWORD RunEntry() {
    OnServiceStart = StartWorker;
    OnServiceStop = StopWorker;

    // Without parameters the box is the help that was asked for.
    if (ParameterCount() == 0) {
        ShowUsage();
        return NO_ERROR;
    }
    if (!GetOptionValue("name", ServiceName)) {
        ShowUsage();
        return ERROR_INVALID_PARAMETER;
    }
    DisplayName = ServiceName;

    if (GetOptionValue("start", CommandLine)) {
        WorkingDirectory = ExtractDirectory(Parameter(0));
        CommandLine = CompleteCommandLine(CommandLine, WorkingDirectory);
        return RunService();
    }
    if (FindSwitch("uninstall")) {
        return RemoveService();
    }
    // "launch" is looked up before anything is removed, so that a mistyped
    // reinstall does not leave the administrator without a service.
    if (!GetOptionValue("launch", LaunchCommand)) {
        ShowUsage();
        return ERROR_INVALID_PARAMETER;
    }
    const bool reinstall = FindSwitch("reinstall");
    if (!reinstall && !FindSwitch("install")) {
        // No switch, or a mistyped one (-instal): nothing was done, and a script must not take
        // that for an installation.
        return ERROR_INVALID_PARAMETER;
    }
    // Checked before anything is removed: a refused reinstall keeps the old entry.
    const DWORD unprotected = CheckInstalledFiles(LaunchCommand);
    if (unprotected != NO_ERROR) {
        return unprotected;
    }
    const std::string binaryPath =
        ComposeServiceCommandLine(Parameter(0), ServiceName, LaunchCommand);
    if (reinstall) {
        const DWORD removal = RemoveService();
        const DWORD installation = InstallServiceAfterRemoval(true, binaryPath, "", "");
        // A failed removal explains a failed installation, unless there was nothing to remove.
        const bool removalExplains = removal != NO_ERROR && removal != ERROR_SERVICE_DOES_NOT_EXIST;
        return installation != NO_ERROR && removalExplains ? removal : installation;
    }
    return InstallService(true, binaryPath, "", "");
}
