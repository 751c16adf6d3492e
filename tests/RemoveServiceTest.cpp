// -uninstall against real services whose stop behaviour the helper service is told.
#include "Service.h"
#include "ServiceHandleLedger.h"
#include "ServiceSupport.h"
#include "TestSupport.h"
#include "VornicService.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

const DWORD Generous = 20000;

// The helper service's command line, with the options the wrapper stores for the name; see
// tests/helpers/StopBehaviourService.cpp.
std::string StopBehaviour(const std::string& name, DWORD pendingMs, DWORD checkPointEveryMs,
                          DWORD waitHintMs) {
    return Quoted(WindowsPath(EnvironmentValue("STOP_BEHAVIOUR_EXE"))) + " " +
           std::to_string(pendingMs) + " " + std::to_string(checkPointEveryMs) + " " +
           std::to_string(waitHintMs) + " /name:" + Quoted(name) + " /start:\"helper\"";
}

// Starts the entry and waits until it runs.
::testing::AssertionResult Started(const TServiceEntry& entry) {
    if (!entry.Created()) {
        return ::testing::AssertionFailure() << "no entry " << entry.Name();
    }
    if (!StartServiceNamed(entry.Name()) ||
        WaitForState(entry.Name(), SERVICE_RUNNING, Generous).dwCurrentState != SERVICE_RUNNING) {
        return ::testing::AssertionFailure() << entry.Name() << " did not start";
    }
    return ::testing::AssertionSuccess();
}

DWORD Uninstall(const std::string& name) {
    return RunWrapper(" -uninstall -name:" + Quoted(name), Generous);
}

} // namespace

TEST(Uninstall, DeletesAStoppedServiceAndThenFindsNothingToDo) {
    TServiceEntry entry("Uninstall Stopped", StopBehaviour("Uninstall Stopped", 0, 0, 0));
    ASSERT_TRUE(entry.Created());
    EXPECT_EQ(Uninstall(entry.Name()), 0u);
    EXPECT_TRUE(WaitUntilGone(entry.Name(), Generous));
    EXPECT_EQ(Uninstall(entry.Name()), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
}

TEST(Uninstall, WinsOverInstallOnTheSameCommandLine) {
    TServiceEntry entry("UninstallBeforeInstall", StopBehaviour("UninstallBeforeInstall", 0, 0, 0));
    ASSERT_TRUE(entry.Created());
    EXPECT_EQ(RunWrapper(" -name:UninstallBeforeInstall -uninstall -install -launch:y", Generous),
              0u);
    EXPECT_TRUE(WaitUntilGone(entry.Name(), Generous));
}

TEST(Uninstall, DeletesAServiceThatStopsAtOnce) {
    TServiceEntry entry("UninstallStopsAtOnce", StopBehaviour("UninstallStopsAtOnce", 0, 0, 0));
    ASSERT_TRUE(Started(entry));
    EXPECT_EQ(Uninstall(entry.Name()), 0u);
    EXPECT_TRUE(WaitUntilGone(entry.Name(), Generous));
}

TEST(Uninstall, WaitsForASlowStopWhileTheCheckPointMoves) {
    // Three sleeps of the wait hint are far shorter than the stop, but each sees progress.
    TServiceEntry entry("UninstallSlowStop", StopBehaviour("UninstallSlowStop", 3000, 500, 300));
    ASSERT_TRUE(Started(entry));
    EXPECT_EQ(Uninstall(entry.Name()), 0u);
    // Deleted only after the stop: an entry deleted while it stops would still be pending here.
    EXPECT_NE(QueryStatus(entry.Name()).dwCurrentState, DWORD{SERVICE_STOP_PENDING});
    EXPECT_TRUE(WaitUntilGone(entry.Name(), Generous));
}

TEST(Uninstall, LeavesAStuckStopInPlaceAndSaysSo) {
    // A check point that never moves: three sleeps of the wait hint, then give up. A hint of
    // 0 gives three quick queries; one of 0xFFFFFFFF sleeps 10 s each time, not for ever.
    // -reinstall then reports the removal's failure, not the creation's (1073).
    const struct {
        const char* Name;
        const char* Road;
        DWORD PendingMs;
        DWORD WaitHintMs;
        DWORD AtLeastMs;
    } cases[] = {{"UninstallStuckStop", " -uninstall", 3000, 0, 0},
                 {"ReinstallStuckStop", " -reinstall -launch:C:\\new.exe", 3000, 0, 0},
                 {"UninstallEndlessHint", " -uninstall", 40000, 0xFFFFFFFF, 29000}};
    for (const auto& c : cases) {
        const std::string stored = StopBehaviour(c.Name, c.PendingMs, 0, c.WaitHintMs);
        TServiceEntry entry(c.Name, stored);
        ASSERT_TRUE(Started(entry));
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(RunWrapper(c.Road + std::string(" -name:") + c.Name, 60000),
                  DWORD{ERROR_SERVICE_REQUEST_TIMEOUT})
            << c.Name;
        EXPECT_GE(GetTickCount64() - start, c.AtLeastMs) << c.Name;
        EXPECT_EQ(QueryStatus(entry.Name()).dwCurrentState, DWORD{SERVICE_STOP_PENDING});
        // Once the helper has stopped by itself, the entry is still there: it was never deleted.
        EXPECT_EQ(WaitForState(entry.Name(), SERVICE_STOPPED, Generous).dwCurrentState,
                  DWORD{SERVICE_STOPPED});
        EXPECT_EQ(BinaryPathOf(entry.Name()), stored) << c.Name;
    }
}

TEST(Uninstall, LeavesAnEntryThatItDidNotWriteAsItWasAlsoOnReinstall) {
    // A mistyped name must not destroy a service that was never this program's, such as the
    // print spooler: nothing is stopped, deleted or created.
    const std::string wrapper = Quoted(FullPath(WrapperPath()));
    // Only the form that -install writes counts: the name, then the start value, each quoted.
    for (int row = 0; row < 4; ++row) {
        const std::string name = "UninstallForeign" + std::to_string(row);
        const std::string stored[] = {
            Quoted(WindowsPath(EnvironmentValue("STOP_BEHAVIOUR_EXE"))) + " 0 0 0",
            wrapper + " /name:\"Other\" /start:\"C:\\a.exe\"", wrapper + " /name:" + Quoted(name),
            wrapper + " /start:\"C:\\a.exe\" /name:" + Quoted(name)};
        TServiceEntry entry(name, stored[row]);
        ASSERT_TRUE(row != 0 || Started(entry));
        const auto config = [&name] {
            const TServiceConfig c = ConfigOf(name);
            return std::make_tuple(c.Type, c.StartType, c.ErrorControl, c.BinaryPath, c.Account,
                                   c.DisplayName, QueryStatus(name).dwCurrentState);
        };
        const auto before = config();
        for (const char* road : {" -uninstall", " -reinstall -launch:C:\\new.exe"}) {
            EXPECT_EQ(RunWrapper(road + std::string(" -name:") + name, Generous),
                      DWORD{ERROR_SERVICE_NOT_IN_EXE})
                << stored[row];
            EXPECT_EQ(config(), before) << stored[row];
        }
    }
}

TEST(Uninstall, DeletesAnEntryItWroteWhateverItsExecutableIsCalledNow) {
    // The stored options make the entry this program's: the copy that wrote it may have been
    // renamed or moved since, and the one that removes it may have another name again.
    const std::string name = "Uninstall Renamed";
    TServiceEntry entry(
        name, ComposeServiceCommandLine("C:\\Old Place\\Renamed.exe", name, "C:\\a.exe -x"));
    TWrapperCopy remover("Uninstall Remover", "Remover.exe");
    ASSERT_TRUE(entry.Created());
    ASSERT_TRUE(remover.Ok);
    EXPECT_EQ(RunWrapper(" -uninstall -name:\"uninstall RENAMED\"", Generous, remover.Path), 0u);
    EXPECT_TRUE(WaitUntilGone(name, Generous));
}

TEST(Uninstall, ClosesEveryHandleLastOpenedFirstAfterAStopControl) {
    TServiceEntry stuck("UninstallHandlesStuck",
                        StopBehaviour("UninstallHandlesStuck", 1000, 0, 0));
    TServiceEntry quick("UninstallHandlesQuick", StopBehaviour("UninstallHandlesQuick", 0, 0, 0));
    TServiceEntry foreign("UninstallHandlesForeign", "C:\\svc.exe");
    ASSERT_TRUE(Started(stuck));
    ASSERT_TRUE(Started(quick));
    TServiceHandleLedger ledger;
    ASSERT_TRUE(ledger.Watching());
    for (const TServiceEntry* entry : {&stuck, &quick, &foreign}) {
        ServiceName = entry->Name();
        RemoveService(); // left in place, stopped and deleted, not this program's
    }
    EXPECT_GT(ledger.Opened(), 0u);
    EXPECT_EQ(ledger.StillOpen(), 0u);
    EXPECT_EQ(ledger.ClosedOutOfOrder(), 0u);
}

TEST(Uninstall, ReadsAStoredCommandLineThatFillsTheWholeReply) {
    // QueryServiceConfigA returns at most 8 KiB: the record, then the binary path, an empty
    // group, empty dependencies (two NULs; Wine counts one), the account and the display name,
    // here 8,192 bytes in all. A fixed array of records held only 8,172 on the 32-bit product,
    // which failed this with 122. The x86-64 build's array held 8,192 and passed: this host runs
    // only that build, where the entry still fails any buffer smaller than the whole reply.
    const std::string name = "Uninstall Longest";
    const std::string shortest = ComposeServiceCommandLine("C:\\w.exe", name, "C:\\a.exe ");
    const std::size_t strings =
        shortest.size() + 1 + 1 + 2 + sizeof("LocalSystem") + name.size() + 1;
    const std::string filler(8192 - sizeof(QUERY_SERVICE_CONFIGA) - strings, 'x');
    TServiceEntry entry(name, ComposeServiceCommandLine("C:\\w.exe", name, "C:\\a.exe " + filler));
    ASSERT_TRUE(entry.Created());
    EXPECT_EQ(Uninstall(name), 0u);
    EXPECT_TRUE(WaitUntilGone(name, Generous));
}
