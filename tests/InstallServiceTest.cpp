// The service entry that -install creates, read back from the service control manager.
#include "Service.h"
#include "ServiceHandleLedger.h"
#include "ServiceSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

const DWORD Generous = 20000;

// The stored command line: the wrapper's own path (quoted when it holds a blank), then the
// name and the launch command, each in double quotes.
std::string ExpectedBinaryPath(const std::string& wrapper, const std::string& name,
                               const std::string& launch) {
    const std::string path = wrapper.find(' ') == std::string::npos ? wrapper : Quoted(wrapper);
    return path + " /name:" + Quoted(name) + " /start:" + Quoted(launch);
}

void SetServiceName(const std::string& name) {
    ServiceName = name;
    DisplayName = name;
}

} // namespace

TEST(Install, StoresAnAutoStartInteractiveLocalSystemEntry) {
    TServiceCleanup entry("Install Stored Entry");
    ASSERT_EQ(RunWrapper(" -install -name:\"Install Stored Entry\" -launch:\"C:\\tools\\p.exe -x\"",
                         Generous),
              0u);

    const TServiceConfig config = ConfigOf(entry.Name());
    EXPECT_EQ(config.DisplayName, entry.Name());
    EXPECT_EQ(config.Type, DWORD{SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS});
    EXPECT_EQ(config.StartType, DWORD{SERVICE_AUTO_START});
    EXPECT_EQ(config.ErrorControl, DWORD{SERVICE_ERROR_NORMAL});
    EXPECT_EQ(config.Account, "LocalSystem");
    EXPECT_EQ(config.BinaryPath,
              ExpectedBinaryPath(FullPath(WrapperPath()), entry.Name(), "C:\\tools\\p.exe -x"));
}

TEST(Install, QuotesAWrapperPathThatHoldsABlank) {
    TWrapperCopy copy("Install Blank Folder");
    ASSERT_TRUE(copy.Ok) << copy.Path;
    TServiceCleanup entry("InstallBlankPath");
    ASSERT_EQ(
        RunWrapper(" -install -name:InstallBlankPath -launch:tools\\a.exe", Generous, copy.Path),
        0u);
    EXPECT_EQ(BinaryPathOf(entry.Name()),
              ExpectedBinaryPath(copy.Path, entry.Name(), "tools\\a.exe"));
}

TEST(Install, LeavesAnExistingEntryAsItWas) {
    TServiceEntry existing("InstallExisting", "C:\\old\\service.exe -old");
    ASSERT_TRUE(existing.Created());
    ASSERT_EQ(RunWrapper(" -install -name:InstallExisting -launch:C:\\new.exe", Generous),
              DWORD{ERROR_SERVICE_EXISTS});

    const TServiceConfig config = ConfigOf(existing.Name());
    EXPECT_EQ(config.BinaryPath, "C:\\old\\service.exe -old");
    EXPECT_EQ(config.StartType, DWORD{SERVICE_DEMAND_START});
    EXPECT_EQ(config.Type, DWORD{SERVICE_WIN32_OWN_PROCESS});
}

TEST(Install, RunsUnderTheGivenAccountOnlyWhenNotInteractive) {
    TServiceCleanup entry("InstallAccount");
    SetServiceName(entry.Name());
    char user[257] = {};
    DWORD size = sizeof(user);
    ASSERT_TRUE(GetUserNameA(user, &size));
    // Windows refuses an account that does not exist (1057) where Wine takes any text; a real
    // local account passes on both. The password is checked only when the service starts.
    const std::string account = ".\\" + std::string(user);
    const DWORD own = SERVICE_WIN32_OWN_PROCESS;
    const DWORD interactive = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
    struct {
        bool Interactive;
        std::string Account;
        std::string Password;
        std::string StoredAccount;
        DWORD StoredType;
    } const cases[] = {{false, account, "", account, own},
                       {false, "", "unused", "LocalSystem", own},
                       // Both refuse an interactive service under any other account (87).
                       {true, account, "secret", "LocalSystem", interactive}};
    for (const auto& c : cases) {
        InstallService(c.Interactive, "C:\\svc.exe", c.Account, c.Password);
        const TServiceConfig config = ConfigOf(entry.Name());
        EXPECT_EQ(config.Account, c.StoredAccount) << c.Interactive << " " << c.Account;
        EXPECT_EQ(config.Type, c.StoredType) << c.Interactive << " " << c.Account;
        StopAndDelete(entry.Name());
    }
}

TEST(Install, ClosesEveryHandleLastOpenedFirstOnEveryRoad) {
    TServiceCleanup entry("InstallHandles");
    SetServiceName(entry.Name());
    TServiceHandleLedger ledger;
    ASSERT_TRUE(ledger.Watching());
    const std::string stored = "C:\\svc.exe /name:InstallHandles /start:x";
    InstallService(true, stored, "", "");             // created
    InstallService(true, stored, "", "");             // exists already
    InstallServiceAfterRemoval(true, stored, "", ""); // exists already
    RemoveService();                                  // stopped: deleted
    RemoveService();                                  // no such service
    EXPECT_GT(ledger.Opened(), 0u);
    EXPECT_EQ(ledger.StillOpen(), 0u);
    EXPECT_EQ(ledger.ClosedOutOfOrder(), 0u);
}

TEST(Install, RefusesAWrapperOrAProgramThatEveryoneMayChangeAndStoresNothing) {
    // The stored path would name a file that anyone could replace, and LocalSystem would run it.
    // A program that is not there yet is the administrator's to put in place; a refused
    // -reinstall keeps the entry it would replace.
    TWrapperCopy open("Install Open Folder");
    ASSERT_TRUE(open.Ok && LetEveryoneChange(open.Folder));
    TServiceCleanup entry("InstallOpen");
    const struct {
        std::string Wrapper, Road, Launch;
        DWORD ExitCode;
        bool Stored;
    } cases[] = {{open.Path, " -install", "C:\\p.exe", ERROR_ACCESS_DISABLED_BY_POLICY, false},
                 {WrapperPath(), " -install", open.Path, ERROR_ACCESS_DISABLED_BY_POLICY, false},
                 {WrapperPath(), " -install", open.Folder + "\\later.exe", NO_ERROR, true},
                 {open.Path, " -reinstall", "C:\\p.exe", ERROR_ACCESS_DISABLED_BY_POLICY, true}};
    for (const auto& c : cases) {
        EXPECT_EQ(RunWrapper(c.Road + " -name:InstallOpen -launch:" + Quoted(c.Launch), Generous,
                             c.Wrapper),
                  c.ExitCode)
            << c.Wrapper << c.Road << " " << c.Launch;
        EXPECT_EQ(BinaryPathOf(entry.Name()).find("later.exe") != std::string::npos, c.Stored)
            << c.Wrapper << c.Road << " " << c.Launch;
    }
}
