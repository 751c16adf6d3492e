// The stored service command line: its exact form, and that the service road reads back
// exactly what the install road wrote.
#include "VornicService.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

TEST(ServiceCommandLine, IsComposedByteForByte) {
    EXPECT_EQ(ComposeServiceCommandLine("C:\\svc\\w.exe", "A B", "C:\\p.exe -x"),
              "C:\\svc\\w.exe /name:\"A B\" /start:\"C:\\p.exe -x\"");
    // A wrapper path with a blank or a tab is quoted, never left open to C:\Program.exe.
    EXPECT_EQ(ComposeServiceCommandLine("C:\\Program Files\\w.exe", "A B", "C:\\p.exe -x"),
              "\"C:\\Program Files\\w.exe\" /name:\"A B\" /start:\"C:\\p.exe -x\"");
    EXPECT_EQ(ComposeServiceCommandLine("C:\\a\tb\\w.exe", "", ""),
              "\"C:\\a\tb\\w.exe\" /name:\"\" /start:\"\"");
}

TEST(ServiceCommandLine, RelativeStartValuesAreTakenFromTheWrapperDirectory) {
    const std::string dir = "C:\\svc\\";
    EXPECT_EQ(CompleteCommandLine("C:\\a.exe", dir), "C:\\a.exe");
    EXPECT_EQ(CompleteCommandLine("x", dir), "x");
    EXPECT_EQ(CompleteCommandLine("", dir), "");
    EXPECT_EQ(CompleteCommandLine("tools\\a.exe -p", dir), "C:\\svc\\tools\\a.exe -p");
    EXPECT_EQ(CompleteCommandLine("\\a.exe", dir), "C:\\svc\\\\a.exe");
    EXPECT_EQ(CompleteCommandLine("notepad.exe", dir), "C:\\svc\\notepad.exe");
    // A network path is already absolute.
    EXPECT_EQ(CompleteCommandLine("\\\\srv\\share\\a.exe", dir), "\\\\srv\\share\\a.exe");
}

namespace {

// Random text without double quotes: blanks, tabs, control characters, bytes above 0x7F,
// and whole double-byte characters where the code page has them.
std::string RandomText(std::mt19937& random, size_t maxLength) {
    std::uniform_int_distribution<size_t> length(0, maxLength);
    std::uniform_int_distribution<int> kind(0, 5);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> trail(0x40, 0xFC);
    std::string text;
    const size_t wanted = length(random);
    while (text.size() < wanted) {
        int c = 0;
        switch (kind(random)) {
        case 0:
            c = ' ';
            break;
        case 1:
            c = '\t';
            break;
        case 2:
            c = std::uniform_int_distribution<int>(1, 0x1F)(random);
            break;
        case 3:
            c = std::uniform_int_distribution<int>(0x80, 0xFF)(random);
            break;
        default:
            c = byte(random);
            break;
        }
        if (c == '"') {
            continue;
        }
        text += static_cast<char>(c);
        if (IsDBCSLeadByte(static_cast<BYTE>(c))) {
            int t = 0x7F;
            while (t == 0x7F) {
                t = trail(random);
            }
            text += static_cast<char>(t);
        }
    }
    return text;
}

void CheckRoundTrip(unsigned seed, int cases) {
    std::mt19937 random(seed);
    for (int i = 0; i < cases; ++i) {
        const std::string name = RandomText(random, i % 10 == 0 ? 600 : 40);
        const std::string launch = RandomText(random, i % 3 == 0 ? 700 : 80);
        const std::string path = i % 2 == 0 ? "C:\\Program Files\\w.exe" : "C:\\svc\\w.exe";
        const std::string line = ComposeServiceCommandLine(path, name, launch);
        std::string nameBack;
        std::string launchBack;
        ASSERT_TRUE(GetOptionValue("name", nameBack, line.c_str())) << "case " << i;
        ASSERT_TRUE(GetOptionValue("start", launchBack, line.c_str())) << "case " << i;
        ASSERT_EQ(nameBack, name) << "case " << i;
        ASSERT_EQ(launchBack, launch) << "case " << i;
        ASSERT_TRUE(IsServiceCommandLineOf(line, name)) << "case " << i;
    }
    std::printf("round trip: %d cases under code page %u\n", cases, GetACP());
}

} // namespace

TEST(ServiceCommandLine, RoundTripGivesBackNameAndLaunchCommand) {
    CheckRoundTrip(20261208, 3000);
}

TEST(Cp932, ServiceCommandLineRoundTripKeepsDoubleByteCharacters) {
    ASSERT_EQ(GetACP(), 932u);
    CheckRoundTrip(932, 3000);
}
