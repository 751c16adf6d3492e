// Which program the service starts when other programs are planted at names that a launch
// command could also mean: before a blank in its path, or with its arguments in the name; and
// whose rights let it run as LocalSystem.
#include "ImportRedirect.h"
#include "ServiceSupport.h"
#include "TestSupport.h"
#include "VornicService.h"
#include "WrappedService.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <map>

// The wrapper and ChildHelper in the folder "Vornic Dir"; a folder "bin.exe" beside a folder
// "bin.exe tools" that holds another ChildHelper; a batch file that starts ChildHelper; a folder
// "Open" that Everyone may change, with ChildHelper in "Open\Sub Dir". No folder "Vornic" may
// exist: Wine skips a shorter name that is also a folder.
class ProgramLookup : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Wrapper.Ok);
        const std::string helper = ChildHelperPath();
        ASSERT_TRUE(CopyFileA(helper.c_str(), Helper.c_str(), FALSE));
        for (const std::string& folder :
             {Folder, Tools, Tools + "\\v1.2", Open, Open + "\\Sub Dir"}) {
            CreateDirectoryA(folder.c_str(), nullptr);
        }
        ASSERT_TRUE(LetEveryoneChange(Open));
        ASSERT_TRUE(CopyFileA(helper.c_str(), DeepHelper.c_str(), FALSE));
        ASSERT_TRUE(CopyFileA(helper.c_str(), OpenHelper.c_str(), FALSE));
        const std::string batch = "@" + Quoted(Helper) + " lookup.report run %1\r\n";
        HANDLE file = CreateFileA(Batch.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        ASSERT_TRUE(
            WriteFile(file, batch.data(), static_cast<DWORD>(batch.size()), &written, nullptr));
        CloseHandle(file);
    }
    ~ProgramLookup() override {
        for (const std::string& file : {Batch, DeepHelper, OpenHelper, Helper}) {
            DeleteFileA(file.c_str());
        }
        for (const std::string& folder :
             {Tools + "\\v1.2", Tools, Folder, Open + "\\Sub Dir", Open}) {
            RemoveDirectoryA(folder.c_str());
        }
    }

    TWrapperCopy Wrapper{"Vornic Dir"};
    std::string Helper = Wrapper.Folder + "\\ChildHelper.exe";
    std::string Folder = Wrapper.Folder + "\\bin.exe";
    std::string Tools = Wrapper.Folder + "\\bin.exe tools";
    std::string DeepHelper = Tools + "\\v1.2\\ChildHelper.exe";
    std::string Batch = Wrapper.Folder + "\\job.bat";
    std::string Open = Wrapper.Folder + "\\Open";
    std::string OpenHelper = Open + "\\Sub Dir\\ChildHelper.exe";
};

TEST_F(ProgramLookup, ShortestNameWithAnExtensionRunsAndAPlantedOneDoesNot) {
    // The report is written to the child's current directory, the wrapper's: its folder may
    // hold a blank, and a launch command cannot quote it.
    const std::string run = " lookup.report run";
    const std::string arguments = run + "  Z:\\a b\\c.txt\t-o=" + Wrapper.Folder + "\\ x";
    const std::string helperStem = Helper.substr(0, Helper.size() - 4);
    // Planted programs: a shorter name before the blank of "Vornic Dir", and a longer name
    // that holds the arguments. An empty program: nothing may run, the service stops with the
    // error (1260 unless given). The folder bin.exe ends the name written with an extension:
    // the program is missing, and the one in "bin.exe tools" does not run either.
    const std::string shorter = TempPath("Vornic.exe");
    const std::string longer = Helper + " lookup.report";
    const struct {
        std::string WrapperPath, Launch, Planted, Program, ChildLine;
        DWORD Error = ERROR_ACCESS_DISABLED_BY_POLICY;
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
        // Without an extension, the first name that Windows would try and that exists is the
        // program; one planted along its path, where Everyone may add it, is refused.
        {WrapperPath(), helperStem + run, "", Helper, Quoted(Helper) + run},
        {WrapperPath(), OpenHelper.substr(0, OpenHelper.size() - 4) + run, Open + "\\Sub.exe", "",
         ""},
        {WrapperPath(), Batch + " arg", "", Helper, Quoted(Helper) + run + " arg"},
    };
    int row = 0;
    for (const auto& c : cases) {
        const std::string report = ExtractDirectory(FullPath(c.WrapperPath)) + "lookup.report";
        DeleteFileA(report.c_str());
        const std::string helper = ChildHelperPath();
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

TEST(ProgramLookupRules, TheFileThatWindowsWouldTakeIsCheckedAndOnlyThatOneRuns) {
    // Names are relative to a folder of the test's own, which plays C:\. Planted, in folders
    // that Everyone may change (p1 to p4, and Gone, rebuilt after an uninstallation): an
    // extensionless p1\Data, "p2\My .exe", p3\Tools.exe and p4\evil.exe; also Program.exe,
    // Data.exe, Apps\Report.exe, "Web v2.1" and "svc\server.exe -port 8080" where only
    // administrators may. A name ending in "\" is a folder.
    char previous[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, previous);
    const std::string root = TempPath("lookup");
    CreateDirectoryA(root.c_str(), nullptr);
    ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
    // One name after another, separated by "|".
    const std::string files =
        "Program.exe|Program Files\\App\\app.exe|Program Files\\App\\tool.com|"
        "Program Files\\App\\job.bat|Program Files\\App\\nightly.cmd|Apps\\Report.exe|"
        "Apps\\Report Server.exe|Apps\\Report Server\\server.exe|Data.exe|"
        "Windows\\System32\\cmd.exe|Tools\\launcher.exe|Tools\\app.exe|My Tools\\app.exe|"
        "svc\\server.exe|svc\\server.exe -port 8080|x\\app.scr|Web v2.1|Web - Copy\\app.exe|"
        "App 2.0\\app.exe|p1\\Data|p1\\Data Files\\App\\|p2\\My .exe|p2\\My  Apps\\App\\|"
        "p3\\Tools.exe|p3\\Tools -x64\\app.exe|p4\\evil.exe|p4\\Apps\\|p5\\R.exe|"
        "p5\\R&D\\job.cmd|p5\\100%\\job.cmd|Gone\\App\\app.exe";
    for (std::size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
        end = files.find('|', begin);
        const std::string file = files.substr(begin, end - begin);
        for (std::size_t slash = file.find('\\'); slash != std::string::npos;
             slash = file.find('\\', slash + 1)) {
            CreateDirectoryA(file.substr(0, slash).c_str(), nullptr);
        }
        CloseHandle(
            CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    for (const char* open : {"p1", "p2", "p3", "p4", "Gone"}) {
        ASSERT_TRUE(LetEveryoneChange(root + "\\" + open)) << open;
    }
    // The child's line is the launch command unchanged unless given. The first fourteen rows
    // are the cases an administrator meets; a copied folder's "- Copy" reads like an option. A
    // name along the path that exists is what Windows itself would take: where only
    // administrators may put it, it runs; where Everyone may, the rights refuse it. The file
    // judged is given where the line does not show it.
    const std::string cmd = SystemFile("cmd.exe") + " /v:off /s /c \"\"" + root + "\\";
    const struct {
        const char* Launch;
        DWORD Error;
        std::string ChildLine = "";
        const char* Program = "";
    } cases[] = {
        {"Program Files\\App\\app.exe -x", 0, "\"Program Files\\App\\app.exe\" -x"},
        {"Program Files\\Gone\\app.exe -x", ERROR_FILE_NOT_FOUND},
        {"Apps\\Report Server.exe -port 80", 0, "\"Apps\\Report Server.exe\" -port 80"},
        {"Apps\\Report Client.exe -port 80", ERROR_FILE_NOT_FOUND},
        {"Apps\\Report Server\\server -port 80", 0, "", "Apps\\Report.exe"},
        {"Apps\\Report Desk Pro\\server -port 80", 0, "", "Apps\\Report.exe"},
        {"Data Files/App/app -x", 0, "", "Data.exe"},
        {"Windows\\System32\\cmd /c C:\\Services\\nightly.cmd", 0},
        {"Tools\\launcher -run C:\\Apps\\worker.exe", 0},
        {"Tools\\launcher -run worker.exe", 0},
        {"Tools\\app C:\\data\\in.txt", 0},
        {"My Tools\\app -x", 0, "\"My Tools\\app.exe\" -x"},
        {"svc\\server.exe -port 8080", 0},
        {"x\\app.scr -x", 0},
        {"Tools\\app bin\\x.txt", 0, "", "Tools\\app.exe"},
        {"My Tools\\app C:\\in.txt out\\x.txt", 0, "\"My Tools\\app.exe\" C:\\in.txt out\\x.txt"},
        {"App 2.0\\app -x", 0, "\"App 2.0\\app.exe\" -x"},
        {"Web v2.1 beta\\app -x", 0, "\"Web v2.1\" beta\\app -x"},
        {"Web - Copy\\app.exe -x", 0, "\"Web - Copy\\app.exe\" -x"},
        {"Program Files\\App\\tool.COM -x", 0, "\"Program Files\\App\\tool.COM\" -x"},
        {"Program Files\\App\\job.Bat -x", 0, cmd + "Program Files\\App\\job.Bat\" -x\""},
        {"Program Files\\App\\nightly.cmd -x", 0, cmd + "Program Files\\App\\nightly.cmd\" -x\""},
        {"p1\\Data Files\\App\\app -x", ERROR_ACCESS_DISABLED_BY_POLICY, "", "p1\\Data"},
        {"p2\\My  Apps\\App\\app -x", ERROR_ACCESS_DISABLED_BY_POLICY, "", "p2\\My .exe"},
        {"p3\\Tools -x64\\app.exe -k", ERROR_ACCESS_DISABLED_BY_POLICY, "", "p3\\Tools.exe"},
        {"p4\\Apps\\launcher -o=..\\..\\..\\evil", ERROR_ACCESS_DISABLED_BY_POLICY, "",
         "p4\\evil.exe"},
        {"Gone\\App\\app.exe -x", ERROR_ACCESS_DISABLED_BY_POLICY},
        {"p5\\R&D\\job.cmd", 0, cmd + "p5\\R&D\\job.cmd\"\""},
        {"p5\\100%\\job.cmd", ERROR_BAD_PATHNAME}};
    for (const auto& c : cases) {
        TChildLaunch launch;
        EXPECT_EQ(PrepareChildLaunch(c.Launch, launch), c.Error) << c.Launch;
        EXPECT_TRUE(*c.Program == '\0' || launch.Program == root + "\\" + c.Program) << c.Launch;
        EXPECT_TRUE(c.Error != NO_ERROR ||
                    launch.Line == (c.ChildLine.empty() ? c.Launch : c.ChildLine))
            << c.Launch << ": " << launch.Line;
    }
    SetCurrentDirectoryA(previous);
    TProcess(Cmd + " /c rd /s /q " + root).WaitForExit(10000);
}

namespace {

// Rights that Wine cannot show, stood in for GetNamedSecurityInfoA, in the SDDL that icacls and
// PowerShell's Get-Acl print: each path along C:\Services\app.exe has its own.
std::map<std::string, std::string> StoodInRights;
decltype(&GetNamedSecurityInfoA) RealGetNamedSecurityInfo = nullptr;

DWORD WINAPI StandInGetNamedSecurityInfo(LPCSTR path, SE_OBJECT_TYPE, SECURITY_INFORMATION,
                                         PSID* owner, PSID*, PACL* dacl, PACL*,
                                         PSECURITY_DESCRIPTOR* descriptor) {
    if (StoodInRights.count(path) == 0 ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorA(
            StoodInRights[path].c_str(), SDDL_REVISION_1, descriptor, nullptr)) {
        return ERROR_FILE_NOT_FOUND;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
    GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
    *dacl = present ? *dacl : nullptr;
    return ERROR_SUCCESS;
}

} // namespace

TEST(ProgramProtection, RefusesWhatAnOrdinaryUserMayChangeAndNothingElse) {
    // C:\ as Windows sets it up: Authenticated Users may create folders in it, and modify what is
    // made below (inherit only). A folder made there takes that (client Windows), or the Users'
    // rights to add folders and files (Windows Server); the README's icacls line replaces it.
    const std::string root = "O:SYD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
                             "(A;;0x4;;;AU)(A;OICIIO;SDGRGWGX;;;AU)";
    const std::string admins = "O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    const std::string client = admins + "(A;OICIID;0x1301bf;;;AU)";
    const std::string server = admins + "(A;CIID;0x6;;;BU)";
    const std::string user = "S-1-5-21-1-2-3-1001";
    const struct {
        const char* Rights;
        std::string Folder, File;
        DWORD Error;
    } cases[] = {
        {"the icacls line's", admins, admins, NO_ERROR},
        {"taken from C:\\ on client Windows", client, admins + "(A;ID;0x1301bf;;;AU)",
         ERROR_ACCESS_DISABLED_BY_POLICY},
        {"taken from C:\\ on Windows Server", server, admins, ERROR_ACCESS_DISABLED_BY_POLICY},
        {"Users may delete the file", admins, admins + "(A;;SD;;;BU)",
         ERROR_ACCESS_DISABLED_BY_POLICY},
        {"a named account may change both", admins + "(A;OICI;FA;;;" + user + ")",
         admins + "(A;;FA;;;" + user + ")", NO_ERROR},
        {"a user's own rebuilt folder", "O:" + user + "D:(A;OICI;FA;;;" + user + ")", admins,
         ERROR_ACCESS_DISABLED_BY_POLICY},
        {"no rights at all (FAT)", "O:BA", admins, ERROR_ACCESS_DISABLED_BY_POLICY},
    };
    SwapImport("advapi32.dll", "GetNamedSecurityInfoA", RealGetNamedSecurityInfo,
               &StandInGetNamedSecurityInfo);
    ASSERT_NE(RealGetNamedSecurityInfo, nullptr);
    for (const auto& c : cases) {
        StoodInRights = {
            {"C:\\", root}, {"C:\\Services", c.Folder}, {"C:\\Services\\app.exe", c.File}};
        EXPECT_EQ(CheckProgramProtection("C:\\Services\\app.exe"), c.Error) << c.Rights;
    }
    RestoreImport("advapi32.dll", "GetNamedSecurityInfoA", RealGetNamedSecurityInfo);
}
