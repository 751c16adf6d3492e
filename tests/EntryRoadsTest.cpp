// The roads of the entry, taken by starting the built wrapper with real command lines.
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

// Wine's dispatcher, called outside the service manager in a session that has not started a
// service yet, takes 10 s to fail (Windows: at once).
const DWORD Generous = 60000;

const std::string UsageText = " -(install|reinstall|uninstall) -name:\"service name\""
                              " -launch:\"path\\application.exe -parameters\"";

// Starts the wrapper, expects the usage box, reads it, presses OK; returns the box text.
std::string ExpectUsageBox(const std::string& exe, const std::string& arguments) {
    TProcess wrapper(Quoted(exe) + arguments);
    EXPECT_TRUE(wrapper.Started());
    HWND box = FindUsageBox(wrapper, Generous);
    EXPECT_NE(box, nullptr) << "no usage box for" << arguments;
    std::string text;
    if (box != nullptr) {
        text = UsageBoxText(box);
        PressOk(box);
    }
    EXPECT_EQ(wrapper.WaitForExit(Generous), 0u) << arguments;
    return text;
}

} // namespace

TEST(EntryRoads, UsageBoxShowsHelpWithTheExecutablePath) {
    ASSERT_EQ(UsageText.size(), 95u);
    const std::string expected = FullPath(WrapperPath()) + UsageText;
    for (const char* arguments : {"", " \"\" ", " -install -launch:x.exe", " -name:Svc",
                                  " -name:Svc -install", " /NAME=Svc -reinstall -launch"}) {
        EXPECT_EQ(ExpectUsageBox(WrapperPath(), arguments), expected) << arguments;
    }
}

TEST(EntryRoads, OtherRoadsEndSilentlyWithExitCodeZero) {
    // A road that showed the box would block in it, so ending by itself means nothing was shown.
    for (const char* arguments :
         {" -name:EntryRoadsNone -launch:x.exe", " /name:EntryRoadsNone /start:x.exe",
          " -name:EntryRoadsNone -start:x.exe -install", " -NAME=EntryRoadsNone -uninstall",
          " -name: -launch:x.exe"}) {
        EXPECT_EQ(RunWrapper(arguments, Generous), 0u) << arguments;
    }
}
