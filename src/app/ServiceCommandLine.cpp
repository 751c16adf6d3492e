// The command line that the install road stores and the service road reads back.
#include "VornicService.h"

std::string ComposeServiceCommandLine(const std::string& wrapperPath,
                                      const std::string& serviceName,
                                      const std::string& launchCommand) {
    return QuoteProgramPath(wrapperPath) + " /name:\"" + serviceName + "\" /start:\"" +
           launchCommand + "\"";
}

std::string CompleteCommandLine(const std::string& startValue,
                                const std::string& workingDirectory) {
    const bool driveQualified = startValue.size() >= 2 && startValue[1] == ':';
    // \\server\share\a.exe is absolute; prefixing it would name a path that cannot exist.
    const bool unc = startValue.compare(0, 2, "\\\\") == 0;
    if (startValue.size() < 2 || driveQualified || unc) {
        return startValue;
    }
    return workingDirectory + startValue;
}

bool IsServiceCommandLineOf(const std::string& binaryPath, const std::string& serviceName) {
    std::string name;
    std::string start;
    // The service control manager finds a service by its name in any case.
    return GetOptionValue("name", name, binaryPath.c_str()) && SameOptionText(name, serviceName) &&
           GetOptionValue("start", start, binaryPath.c_str());
}
