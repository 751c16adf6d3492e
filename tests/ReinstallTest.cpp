// -reinstall: the old entry replaced by a new one, also while someone still holds the old one.
#include "ServiceSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const DWORD Generous = 20000;

DWORD Install(const std::string& name, const std::string& launch) {
    return RunWrapper(" -install -name:" + name + " -launch:" + Quoted(launch), Generous);
}

DWORD Reinstall(const std::string& name, const std::string& launch) {
    return RunWrapper(" -reinstall -name:" + name + " -launch:" + Quoted(launch), Generous);
}

bool StoresLaunch(const std::string& name, const std::string& launch) {
    const std::string path = BinaryPathOf(name);
    const std::string tail = " /start:" + Quoted(launch);
    return path.size() > tail.size() &&
           path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
}

// Another program's handle on the entry, such as a console that lists services.
class THeldEntry {
  public:
    explicit THeldEntry(const std::string& name) : Handle(OpenServiceNamed(name)) {}
    THeldEntry(const THeldEntry&) = delete;
    THeldEntry& operator=(const THeldEntry&) = delete;
    ~THeldEntry() {
        if (Releaser.joinable()) {
            Releaser.join();
        }
        Release();
    }
    bool Held() const {
        return Handle != nullptr;
    }
    void Release() {
        if (Handle != nullptr) {
            CloseServiceHandle(Handle);
            Handle = nullptr;
        }
    }
    void ReleaseAfter(DWORD ms) {
        Releaser = std::thread([this, ms] {
            Sleep(ms);
            Release();
        });
    }
    SC_HANDLE Handle;

  private:
    std::thread Releaser;
};

} // namespace

TEST(Reinstall, ReplacesTheLaunchCommand) {
    TServiceCleanup entry("ReinstallReplaces");
    ASSERT_EQ(Install(entry.Name(), "C:\\old.exe -a"), 0u);
    ASSERT_TRUE(StoresLaunch(entry.Name(), "C:\\old.exe -a"));
    EXPECT_EQ(Reinstall(entry.Name(), "C:\\new.exe -b"), 0u);
    EXPECT_TRUE(StoresLaunch(entry.Name(), "C:\\new.exe -b")) << BinaryPathOf(entry.Name());
}

TEST(Reinstall, CreatesTheNewEntryOnceAnotherHandleOnTheOldOneCloses) {
    TServiceCleanup entry("ReinstallWhileHeld");
    ASSERT_EQ(Install(entry.Name(), "C:\\old.exe"), 0u);
    THeldEntry held(entry.Name());
    ASSERT_TRUE(held.Held());
    held.ReleaseAfter(1000);
    EXPECT_EQ(Reinstall(entry.Name(), "C:\\new.exe"), 0u);
    EXPECT_TRUE(StoresLaunch(entry.Name(), "C:\\new.exe")) << BinaryPathOf(entry.Name());
}

TEST(Reinstall, GivesUpWhenTheOldEntryStaysHeld) {
    TServiceCleanup entry("ReinstallHeldTooLong");
    ASSERT_EQ(Install(entry.Name(), "C:\\old.exe"), 0u);
    THeldEntry held(entry.Name());
    ASSERT_TRUE(held.Held());
    EXPECT_EQ(Reinstall(entry.Name(), "C:\\new.exe"), DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
    held.Release();
    EXPECT_TRUE(WaitUntilGone(entry.Name(), Generous));
}

TEST(Reinstall, AMarkedEntryFailsUninstallAndPlainInstallAtOnce) {
    TServiceCleanup entry("InstallWhileMarked");
    ASSERT_EQ(Install(entry.Name(), "C:\\old.exe"), 0u);
    THeldEntry held(entry.Name());
    ASSERT_TRUE(held.Held());
    ASSERT_TRUE(DeleteService(held.Handle));
    // Deleting it again fails, and -uninstall says so with DeleteService's own error.
    EXPECT_EQ(RunWrapper(" -uninstall -name:InstallWhileMarked", Generous),
              DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
    TProcess wrapper(Quoted(WrapperPath()) + " -install -name:InstallWhileMarked -launch:new.exe");
    ASSERT_TRUE(wrapper.Started());
    // A wrapper still running by now is waiting for the name, and would take it once free.
    wrapper.WaitForExit(2000);
    held.Release();
    EXPECT_EQ(wrapper.WaitForExit(Generous), DWORD{ERROR_SERVICE_MARKED_FOR_DELETE});
    EXPECT_TRUE(WaitUntilGone(entry.Name(), Generous));
}

TEST(Reinstall, WithoutALaunchCommandRemovesNothing) {
    TServiceCleanup entry("ReinstallNoLaunch");
    ASSERT_EQ(Install(entry.Name(), "C:\\old.exe"), 0u);
    TProcess wrapper(Quoted(WrapperPath()) + " -reinstall -name:ReinstallNoLaunch");
    ASSERT_TRUE(wrapper.Started());
    HWND box = FindUsageBox(wrapper, Generous);
    EXPECT_NE(box, nullptr);
    if (box != nullptr) {
        PressOk(box);
    }
    EXPECT_EQ(wrapper.WaitForExit(Generous), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_TRUE(StoresLaunch(entry.Name(), "C:\\old.exe"));
}
