// Mode selection: which road the command line asks for, and the usage box.
#include "VornicService.h"

#include "../service/Service.h"

std::string CommandLine;
std::string WorkingDirectory;
std::string LaunchCommand;

void ShowUsage() {
    const std::string text = Parameter(0) + " -(install|reinstall|uninstall) -name:\"service name\""
                                            " -launch:\"path\\application.exe -parameters\"";
    const auto messageBox = User32Function<decltype(&MessageBoxA)>("MessageBoxA");
    if (messageBox != nullptr) {
        messageBox(nullptr, text.c_str(), "Help", MB_OK);
    }
}

void RunEntry() {
    OnServiceStart = StartWorker;
    OnServiceStop = StopWorker;

    if (ParameterCount() == 0 || !GetOptionValue("name", ServiceName)) {
        ShowUsage();
        return;
    }
    DisplayName = ServiceName;

    if (GetOptionValue("start", CommandLine)) {
        WorkingDirectory = ExtractDirectory(Parameter(0));
        CommandLine = CompleteCommandLine(CommandLine, WorkingDirectory);
        RunService();
        return;
    }
    if (FindSwitch("uninstall")) {
        RemoveService();
        return;
    }
    // "launch" is looked up before anything is removed, so that a mistyped
    // reinstall does not leave the administrator without a service.
    if (!GetOptionValue("launch", LaunchCommand)) {
        ShowUsage();
        return;
    }
    const std::string binaryPath =
        ComposeServiceCommandLine(Parameter(0), ServiceName, LaunchCommand);
    if (FindSwitch("reinstall")) {
        RemoveService();
        InstallServiceAfterRemoval(true, binaryPath, "", "");
    } else if (FindSwitch("install")) {
        InstallService(true, binaryPath, "", "");
    }
}
