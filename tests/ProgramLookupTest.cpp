// Which program the service starts when the wrapped program's path holds a blank and another
// program is planted at the name before the blank.
#include "ServiceSupport.h"
#include "TestSupport.h"
#include "VornicService.h"
#include "WrappedService.h"

#include <gtest/gtest.h>

// The wrapper and ChildHelper in the folder "Vornic Dir", and ChildHelper planted as "Vornic.exe"
// beside it. No folder "Vornic" may exist: Wine skips a shorter name that is also a folder.
class ProgramLookup : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Wrapper.Ok);
        const std::string helper = WindowsPath(EnvironmentValue("CHILD_HELPER_EXE"));
        ASSERT_TRUE(CopyFileA(helper.c_str(), Helper.c_str(), FALSE));
        ASSERT_TRUE(CopyFileA(helper.c_str(), Planted.c_str(), FALSE));
    }
    ~ProgramLookup() override {
        DeleteFileA(Report.c_str());
        DeleteFileA(Planted.c_str());
        DeleteFileA(Helper.c_str());
    }

    TWrapperCopy Wrapper{"Vornic Dir"};
    std::string Helper = Wrapper.Folder + "\\ChildHelper.exe";
    std::string Planted = TempPath("Vornic.exe");
    std::string Report = TempPath("lookup.report");
};

TEST_F(ProgramLookup, WrappedProgramRunsWithItsArgumentsAndThePlantedOneDoesNot) {
    const std::string run = " " + Report + " run";
    const std::string arguments = run + "  Z:\\a b\\c.txt\t-o=" + Wrapper.Folder + "\\ x";
    const struct {
        std::string WrapperPath, Launch, ChildLine;
    } cases[] = {
        {Wrapper.Path, "ChildHelper.exe" + run, Quoted(Helper) + run},
        {WrapperPath(), Helper + run, Quoted(Helper) + run},
        {WrapperPath(), Helper.substr(0, Helper.size() - 4) + run, Quoted(Helper) + run},
        {WrapperPath(), Helper + arguments, Quoted(Helper) + arguments},
    };
    for (const auto& c : cases) {
        DeleteFileA(Report.c_str());
        TServiceEntry entry("VornicLookup",
                            ComposeServiceCommandLine(c.WrapperPath, "VornicLookup", c.Launch));
        TWrapperProcess wrapper(entry.Name());
        // The wrapper starts one child: a report from ChildHelper means Vornic.exe did not run.
        auto fields = ReadReport(Report, 15000);
        EXPECT_EQ(fields["program"], Helper) << c.Launch;
        EXPECT_EQ(fields["commandline"], c.ChildLine) << c.Launch;
    }
}
