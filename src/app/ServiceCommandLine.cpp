// The command line that the install road stores and the service road reads back.
#include "VornicService.h"

#include <vector>

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

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The text as UTF-16, which CompareStringOrdinal takes. A vector, not a std::wstring: that would
// link a second string implementation's error paths into the program.
std::vector<wchar_t> Wide(const std::string& text) {
    std::vector<wchar_t> result(text.size() + 1);
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                           result.data(), static_cast<int>(result.size()));
    result.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    return result;
}

} // namespace

bool IsServiceCommandLineOf(const std::string& binaryPath, const std::string& serviceName) {
    // The tail that ComposeServiceCommandLine writes, read from the end: neither the name nor
    // the launch command holds a double quote.
    const std::string start = "\" /start:\"";
    const std::string::size_type launchOpen = binaryPath.size() >= 2 && binaryPath.back() == '"'
                                                  ? binaryPath.rfind('"', binaryPath.size() - 2)
                                                  : std::string::npos;
    if (launchOpen == std::string::npos || !EndsWith(binaryPath.substr(0, launchOpen + 1), start)) {
        return false;
    }
    const std::string head = binaryPath.substr(0, launchOpen + 1 - start.size());
    const std::string::size_type nameOpen = head.rfind('"');
    if (nameOpen == std::string::npos || !EndsWith(head.substr(0, nameOpen + 1), " /name:\"")) {
        return false;
    }
    // As the service control manager compares names: without regard to case, and not by the
    // rules of a language.
    const std::vector<wchar_t> stored = Wide(head.substr(nameOpen + 1));
    const std::vector<wchar_t> name = Wide(serviceName);
    return CompareStringOrdinal(stored.data(), static_cast<int>(stored.size()), name.data(),
                                static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}
