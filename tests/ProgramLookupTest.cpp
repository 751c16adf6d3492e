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
    // Planted programs: a shorter name before the blank of "Vornic Dir", and a longer name
    // that holds the arguments. An empty program: nothing may run, the service stops with the
    // error (161 unless given). The folder bin.exe ends the name written with an extension:
    // the program is missing, and the one in "bin.exe tools" does not run either.
    const std::string shorter = TempPath("Vornic.exe");
    const std::string longer = Helper + " lookup.report";
    const struct {
        std::string WrapperPath, Launch, Planted, Program, ChildLine;
        DWORD Error = ERROR_BAD_PATHNAME;
    } cases[] = {
        {Wrapper.Path, "ChildHelper.exe" + run, shorter, Helper, Quoted(Helper) + run},
        {WrapperPath(), Helper + run, shorter, Helper, Quoted(Helper) + run},
        {WrapperPath(), Helper + arguments, shorter, Helper, Quoted(Helper) + arguments},
        {WrapperPath(), Helper + "\tlookup.report run", shorter, Helper,
         Quoted(Helper) + "\tlookup.report run"},
        {Wrapper.Path, Helper + run, longer, Helper, Quoted(Helper) + run},
        {WrapperPath(), Tools + "\\v1.2\\ChildHelper.exe" + run, "", "", "", ERROR_FILE_NOT_FOUND},
        {WrapperPath(), Wrapper.Folder + "\\Absent.exe" + run, shorter, "", "",
         ERROR_FILE_NOT_FOUND},
        // Without an extension, one name that exists is the program; one planted along its
        // path is refused.
        {WrapperPath(), helperStem + run, "", Helper, Quoted(Helper) + run},
        {WrapperPath(), helperStem + run, shorter, "", ""},
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
            EXPECT_EQ(stopped.dwWin32ExitCode, c.Error) << c.Launch;
            fields = ReadReport(report, 500);
        }
        EXPECT_EQ(fields["program"], c.Program) << c.Launch;
        EXPECT_EQ(fields["commandline"], c.ChildLine) << c.Launch;
        DeleteFileA(c.Planted.c_str());
        DeleteFileA(report.c_str());
    }
}

TEST(ProgramLookupRules, AMissingProgramNeverLetsAPlantedOneRun) {
    // Names are relative to a folder of the test's own, which plays C:\. Planted: Program.exe,
    // Data.exe, Apps\Report.exe, "Web v2.1" and "svc\server.exe -port 8080"; missing: Gone,
    // Report Client.exe, Report Desk Pro and Data Files.
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    const std::string root = TempPath("lookup");
    CreateDirectoryA(root.c_str(), nullptr);
    ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
    for (const std::string file :
         {"Program.exe", "Program Files\\App\\app.exe", "Program Files\\App\\tool.com",
          "Program Files\\App\\job.bat", "Program Files\\App\\nightly.cmd", "Apps\\Report.exe",
          "Apps\\Report Server.exe", "Apps\\Report Server\\server.exe", "Data.exe",
          "Windows\\System32\\cmd.exe", "Tools\\launcher.exe", "Tools\\app.exe",
          "My Tools\\app.exe", "svc\\server.exe", "svc\\server.exe -port 8080", "x\\app.scr",
          "Web v2.1", "Web - Copy\\app.exe"}) {
        for (std::size_t end = file.find('\\'); end != std::string::npos;
             end = file.find('\\', end + 1)) {
            CreateDirectoryA(file.substr(0, end).c_str(), nullptr);
        }
        CloseHandle(
            CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    // The child's line is the launch command unchanged unless given. The first fourteen rows
    // are the cases an administrator meets; a copied folder's "- Copy" reads like an option.
    const struct {
        const char* Launch;
        DWORD Error;
        const char* ChildLine = "";
    } cases[] = {
        {"Program Files\\App\\app.exe -x", 0, "\"Program Files\\App\\app.exe\" -x"},
        {"Program Files\\Gone\\app.exe -x", ERROR_FILE_NOT_FOUND},
        {"Apps\\Report Server.exe -port 80", 0, "\"Apps\\Report Server.exe\" -port 80"},
        {"Apps\\Report Client.exe -port 80", ERROR_FILE_NOT_FOUND},
        {"Apps\\Report Server\\server -port 80", ERROR_BAD_PATHNAME},
        {"Apps\\Report Desk Pro\\server -port 80", ERROR_BAD_PATHNAME},
        {"Data Files/App/app -x", ERROR_BAD_PATHNAME},
        {"Windows\\System32\\cmd /c C:\\Services\\nightly.cmd", 0},
        {"Tools\\launcher -run C:\\Apps\\worker.exe", 0},
        {"Tools\\launcher -run worker.exe", 0},
        {"Tools\\app C:\\data\\in.txt", 0},
        {"My Tools\\app -x", 0, "\"My Tools\\app.exe\" -x"},
        {"svc\\server.exe -port 8080", 0},
        {"x\\app.scr -x", 0},
        {"Tools\\app bin\\x.txt", ERROR_BAD_PATHNAME},
        {"Web v2.1 beta\\app -x", ERROR_BAD_PATHNAME},
        {"Web - Copy\\app.exe -x", 0, "\"Web - Copy\\app.exe\" -x"},
        {"Program Files\\App\\tool.COM -x", 0, "\"Program Files\\App\\tool.COM\" -x"},
        {"Program Files\\App\\job.Bat -x", 0, "\"Program Files\\App\\job.Bat\" -x"},
        {"Program Files\\App\\nightly.cmd -x", 0, "\"Program Files\\App\\nightly.cmd\" -x"}};
    for (const auto& c : cases) {
        std::string childLine;
        EXPECT_EQ(QuoteWrappedProgram(c.Launch, childLine), c.Error) << c.Launch;
        EXPECT_EQ(childLine, *c.ChildLine != '\0' ? c.ChildLine : c.Launch) << c.Launch;
    }
    SetCurrentDirectoryA(previous);
    TProcess(Cmd + " /c rd /s /q " + root).WaitForExit(10000);
}
