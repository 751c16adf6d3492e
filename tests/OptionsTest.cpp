// Splitting of command lines and lookup of switches and options, on given bytes.
#include "VornicService.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::string> Parameters(const char* line) {
    std::vector<std::string> result;
    const int count = ParameterCount(line);
    for (int i = 1; i <= count; ++i) {
        result.push_back(Parameter(i, line));
    }
    return result;
}

using Strings = std::vector<std::string>;

std::string Option(const char* name, const char* line) {
    std::string value = "stale";
    return GetOptionValue(name, value, line) ? value : "<none:" + value + ">";
}

} // namespace

TEST(Splitting, QuotesKeepBlanksAndAreDropped) {
    const char* line = "wrap.exe  -name:\"My Svc\" \"\"  /start:\"C:\\a b\\x.exe -q\"";
    EXPECT_EQ(Parameters(line), (Strings{"-name:My Svc", "/start:C:\\a b\\x.exe -q"}));
    EXPECT_EQ(Parameters("a\"b c\"d x\"b c\"d"), (Strings{"xb cd"}));
    EXPECT_EQ(Parameters("\"C:\\Program Files\\w.exe\" -x"), (Strings{"-x"}));
    // A stretch never closed runs to the end of the line.
    EXPECT_EQ(Parameters("w.exe -a \"b  c"), (Strings{"-a", "b  c"}));
}

TEST(Splitting, EmptyLinesAndEmptyQuotePairs) {
    EXPECT_EQ(ParameterCount("wrap.exe"), 0);
    EXPECT_EQ(ParameterCount("wrap.exe   "), 0);
    EXPECT_EQ(ParameterCount(""), 0);
    EXPECT_EQ(Parameters("wrap.exe \"\" -install"), (Strings{"-install"}));
    EXPECT_EQ(Parameters("wrap.exe \"\"\"\"-install"), (Strings{"-install"}));
    EXPECT_EQ(Parameter(3, "wrap.exe -a -b"), "");
}

TEST(Splitting, ControlCharactersSeparateTokens) {
    EXPECT_EQ(Parameters("w.exe\t-a\x01-b\r\n-c"), (Strings{"-a", "-b", "-c"}));
    EXPECT_EQ(Parameters("w.exe \"-a\t\x01 b\""), (Strings{"-a\t\x01 b"}));
}

TEST(Splitting, ParameterZeroIsTheWholeModulePath) {
    char path[MAX_PATH * 4] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    EXPECT_EQ(Parameter(0, "other.exe -a"), std::string(path, length));
}

TEST(Switches, MatchTheWholeNameInAnyCaseAfterOnePrefix) {
    for (const char* line : {"w -Install", "w /INSTALL", "w -x -install", "w \"-in\"stall"}) {
        EXPECT_TRUE(FindSwitch("install", line)) << line;
    }
    for (const char* line : {"w -installx", "w -install:", "w --install", "w install", "w xinstall",
                             "w -", "w", "w -instal"}) {
        EXPECT_FALSE(FindSwitch("install", line)) << line;
    }
}

TEST(Options, ValueFollowsNameAndSeparator) {
    EXPECT_EQ(Option("name", "w -name=Svc"), "Svc");
    EXPECT_EQ(Option("name", "w /Name:Svc"), "Svc");
    EXPECT_EQ(Option("name", "w -NAME:a=b:c"), "a=b:c");
    EXPECT_EQ(Option("name", "w -name:"), "");
    EXPECT_EQ(Option("name", "w -name:A -name:B"), "A");
    EXPECT_EQ(Option("name", "w -name -nameX:1 -nam:2 /name:B"), "B");
}

TEST(Options, NotFoundLeavesTheValueEmpty) {
    for (const char* line : {"w -name", "w --name:x", "w name:x", "w -nam", "w -names:x", "w"}) {
        EXPECT_EQ(Option("name", line), "<none:>") << line;
    }
}

TEST(Options, LongValuesArriveWhole) {
    const std::string launch(300 - 8, 'x');
    const std::string line = "w -launch:" + launch + " -name:" + std::string(400, 'n');
    EXPECT_EQ(Option("launch", line.c_str()), launch);
    EXPECT_EQ(Option("name", line.c_str()), std::string(400, 'n'));
}

TEST(Directories, CutAfterTheLastBackslash) {
    EXPECT_EQ(ExtractDirectory("C:\\svc\\wrap.exe"), "C:\\svc\\");
    EXPECT_EQ(ExtractDirectory("wrap.exe"), "");
    EXPECT_EQ(ExtractDirectory("C:\\"), "C:\\");
    EXPECT_EQ(ExtractDirectory("C:/a/b.exe"), "");
    EXPECT_EQ(ExtractDirectory("\\\\srv\\share\\a.exe"), "\\\\srv\\share\\");
}

// Run with LC_ALL=ja_JP.UTF-8, where Wine's ANSI code page is 932.
TEST(Cp932, CodePageIsActive) {
    ASSERT_EQ(GetACP(), 932u);
}

TEST(Cp932, TrailBytesAreNeverQuotesOrBlanks) {
    // \x81\x22 and \x81\x20 are single characters: neither byte opens a quote or ends a token.
    EXPECT_EQ(Parameters("w.exe -name:\x81\x22x y"), (Strings{"-name:\x81\x22x", "y"}));
    EXPECT_EQ(Parameters("w.exe \"a\x81\x22 b\""), (Strings{"a\x81\x22 b"}));
    EXPECT_EQ(Parameters("w.exe -a\x81\x20z"), (Strings{"-a\x81\x20z"}));
    EXPECT_EQ(Option("launch", "w -launch:\"\x83\x5C\\x.exe -p\""), "\x83\x5C\\x.exe -p");
    // A lead byte at the very end is a character of its own: nothing past the NUL is read.
    EXPECT_EQ(Parameters("w.exe -a\x81\0-b"), (Strings{"-a\x81"}));
}

TEST(Cp932, DirectoryIgnoresTrailBackslashes) {
    EXPECT_EQ(ExtractDirectory("C:\\a\\\x95\x5C.exe"), "C:\\a\\");
    EXPECT_EQ(ExtractDirectory("C:\\\x95\x5C\\b.exe"), "C:\\\x95\x5C\\");
}

TEST(Cp932, CaseIsIgnoredUnderTheUserLocale) {
    EXPECT_TRUE(FindSwitch("install", "w /INSTALL"));
    EXPECT_EQ(Option("name", "w -NaMe:\x82\xA0"), "\x82\xA0");
}
