// The roads of the entry, taken by starting the built wrapper with real command lines.
#include "ServiceSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

// Wine's dispatcher, called outside the service manager in a session that has not started a
// service yet, takes 10 s to fail (Windows: at once).
const DWORD Generous = 60000;

const std::string UsageText = " -(install|reinstall|uninstall) -name:\"service name\""
                              " -launch:\"path\\application.exe -parameters\"";

// Starts the wrapper, expects the usage box, reads it, presses OK, expects the exit code;
// returns the box text.
std::string ExpectUsageBox(const std::string& exe, const std::string& arguments, DWORD exitCode) {
    TProcess wrapper(Quoted(exe) + arguments);
    EXPECT_TRUE(wrapper.Started());
    HWND box = FindUsageBox(wrapper, Generous);
    EXPECT_NE(box, nullptr) << "no usage box for" << arguments;
    std::string text;
    if (box != nullptr) {
        text = UsageBoxText(box);
        PressOk(box);
    }
    EXPECT_EQ(wrapper.WaitForExit(Generous), exitCode) << arguments;
    return text;
}

} // namespace

TEST(EntryRoads, UsageBoxShowsHelpWithTheExecutablePath) {
    ASSERT_EQ(UsageText.size(), 95u);
    const std::string expected = FullPath(WrapperPath()) + UsageText;
    // Asked for without parameters, the help ends with 0; a missing option is an error (87).
    const struct {
        const char* Arguments;
        DWORD ExitCode;
    } cases[] = {{"", 0},
                 {" \"\" ", 0},
                 {" -install -launch:x.exe", ERROR_INVALID_PARAMETER},
                 {" -name:Svc", ERROR_INVALID_PARAMETER},
                 {" -name:Svc -install", ERROR_INVALID_PARAMETER},
                 {" /NAME=Svc -reinstall -launch", ERROR_INVALID_PARAMETER}};
    for (const auto& c : cases) {
        EXPECT_EQ(ExpectUsageBox(WrapperPath(), c.Arguments, c.ExitCode), expected) << c.Arguments;
    }
}

TEST(EntryRoads, OtherRoadsEndSilentlyWithTheCodeOfWhatFailed) {
    // Elevation cannot be taken away under Wine, so OpenSCManagerA's 5 is not among these.
    // Without a switch, or with a mistyped one, nothing is done: not a success for a script.
    TServiceCleanup installedByMistake("EntryRoadsNone");
    const struct {
        const char* Arguments;
        DWORD ExitCode;
    } cases[] = {
        {" -name:EntryRoadsNone -launch:x.exe", ERROR_INVALID_PARAMETER},
        {" -name: -launch:x.exe", ERROR_INVALID_PARAMETER},
        {" -instal -name:EntryRoadsNone -launch:x.exe", ERROR_INVALID_PARAMETER},
        {" -name:EntryRoadsNone -launch:x.exe install", ERROR_INVALID_PARAMETER},
        // The service options given by hand: the dispatcher connection fails.
        {" /name:EntryRoadsNone /start:x.exe", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT},
        {" -name:EntryRoadsNone -start:x.exe -install", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT},
        {" -NAME=EntryRoadsNone -uninstall", ERROR_SERVICE_DOES_NOT_EXIST},
        {" -install -name:\"bad\\name\" -launch:x.exe", ERROR_INVALID_NAME},
        {" -reinstall -name:\"bad\\name\" -launch:x.exe", ERROR_INVALID_NAME},
    };
    // RunWrapper fails the test at once should a road show the box.
    for (const auto& c : cases) {
        EXPECT_EQ(RunWrapper(c.Arguments, Generous), c.ExitCode) << c.Arguments;
    }
}
