// Which program the service starts when other programs are planted at names that a launch
// command could also mean: before a blank in its path, or with its arguments in the name.
#include "ServiceSupport.h"
#include "TestSupport.h"
#include "VornicService.h"
#include "WrappedService.h"

#include <gtest/gtest.h>

// The wrapper and ChildHelper in the folder "Vornic Dir"; a folder "bin.exe" beside a folder
// "bin.exe tools" that holds another ChildHelper; a batch file that starts ChildHelper. No folder
// "Vornic" may exist: Wine skips a shorter name that is also a folder.
class ProgramLookup : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Wrapper.Ok);
        const std::string helper = WindowsPath(EnvironmentValue("CHILD_HELPER_EXE"));
        ASSERT_TRUE(CopyFileA(helper.c_str(), Helper.c_str(), FALSE));
        for (const std::string& folder : {Folder, Tools, Tools + "\\v1.2"}) {
            CreateDirectoryA(folder.c_str(), nullptr);
        }
        ASSERT_TRUE(CopyFileA(helper.c_str(), DeepHelper.c_str(), FALSE));
        const std::string batch = "@" + Quoted(Helper) + " lookup.report run %1\r\n";
        HANDLE file = CreateFileA(Batch.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        ASSERT_TRUE(
            WriteFile(file, batch.data(), static_cast<DWORD>(batch.size()), &written, nullptr));
        CloseHandle(file);
    }
    ~ProgramLookup() override {
        for (const std::string& file : {Batch, DeepHelper, Helper}) {
            DeleteFileA(file.c_str());
        }
        for (const std::string& folder : {Tools + "\\v1.2", Tools, Folder}) {
            RemoveDirectoryA(folder.c_str());
        }
    }

    TWrapperCopy Wrapper{"Vornic Dir"};
    std::string Helper = Wrapper.Folder + "\\ChildHelper.exe";
    std::string Folder = Wrapper.Folder + "\\bin.exe";
    std::string Tools = Wrapper.Folder + "\\bin.exe tools";
    std::string DeepHelper = Tools + "\\v1.2\\ChildHelper.exe";
    std::string Batch = Wrapper.Folder + "\\job.bat";
};

TEST_F(ProgramLookup, ShortestNameWithAnExtensionRunsAndAPlantedOneDoesNot) {
    // The report is written to the child's current directory, the wrapper's: its folder may
    // hold a blank, and a launch command cannot quote it.
    const std::string run = " lookup.report run";
    const std::string arguments = run + "  Z:\\a b\\c.txt\t-o=" + Wrapper.Folder + "\\ x";
    const std::string helperStem = Helper.substr(0, Helper.size() - 4);
    const std::string deepStem = DeepHelper.substr(0, DeepHelper.size() - 4);
    // Planted programs: a shorter name before the blank of "Vornic Dir", and a longer name
    // that holds the arguments. An empty program: nothing may run, the service stops with 161.
    const std::string shorter = TempPath("Vornic.exe");
    const std::string longer = Helper + " lookup.report";
    const struct {
        std::string WrapperPath, Launch, Planted, Program, ChildLine;
    } cases[] = {
        {Wrapper.Path, "ChildHelper.exe" + run, shorter, Helper, Quoted(Helper) + run},
        {WrapperPath(), Helper + run, shorter, Helper, Quoted(Helper) + run},
        {WrapperPath(), Helper + arguments, shorter, Helper, Quoted(Helper) + arguments},
        {WrapperPath(), Helper + "\tlookup.report run", shorter, Helper,
         Quoted(Helper) + "\tlookup.report run"},
        {Wrapper.Path, Helper + run, longer, Helper, Quoted(Helper) + run},
        {WrapperPath(), Tools + "\\v1.2\\ChildHelper.exe" + run, "", DeepHelper,
         Quoted(DeepHelper) + run},
        // Without an extension, one name that exists is the program; two are refused.
        {WrapperPath(), helperStem + run, "", Helper, Quoted(Helper) + run},
        {WrapperPath(), deepStem + run, shorter, "", ""},
        {WrapperPath(), Batch + " arg", "", Helper, Quoted(Helper) + run + " arg"},
    };
    int row = 0;
    for (const auto& c : cases) {
        const std::string report = ExtractDirectory(FullPath(c.WrapperPath)) + "lookup.report";
        DeleteFileA(report.c_str());
        const std::string helper = WindowsPath(EnvironmentValue("CHILD_HELPER_EXE"));
        ASSERT_TRUE(c.Planted.empty() || CopyFileA(helper.c_str(), c.Planted.c_str(), FALSE));
        // A name a row: an entry that stayed from the row before must not answer for this one.
        const std::string name = "VornicLookup" + std::to_string(++row);
        TServiceEntry entry(name, ComposeServiceCommandLine(c.WrapperPath, name, c.Launch));
        TWrapperProcess wrapper(entry.Name());
        // The wrapper starts one child: a report from ChildHelper means no planted copy ran.
        auto fields = ReadReport(report, c.Program.empty() ? 0 : 15000);
        if (c.Program.empty()) {
            const SERVICE_STATUS_PROCESS stopped = WaitForState(name, SERVICE_STOPPED, 15000);
            EXPECT_EQ(stopped.dwWin32ExitCode, DWORD{ERROR_BAD_PATHNAME}) << c.Launch;
            fields = ReadReport(report, 500);
        }
        EXPECT_EQ(fields["program"], c.Program) << c.Launch;
        EXPECT_EQ(fields["commandline"], c.ChildLine) << c.Launch;
        DeleteFileA(c.Planted.c_str());
        DeleteFileA(report.c_str());
    }
}
