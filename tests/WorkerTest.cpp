// The worker's start, in-process, where no thread can be created.
#include "Service.h"
#include "TestSupport.h"
#include "VornicService.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

std::atomic<int> Stops{0};

void CountStop() {
    ++Stops;
    StopWorker();
}

DWORD WINAPI DoNothing(LPVOID) {
    return 0;
}

bool WriteText(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok =
        file != INVALID_HANDLE_VALUE &&
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return ok;
}

std::string ReadText(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char text[256] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    return std::string(text, read);
}

} // namespace

TEST(Worker, ThreadThatCannotBeCreatedStopsTheServiceAtOnce) {
    // Wine's threads are Linux threads. tests/in_pids_cgroup.sh starts this process in a
    // Linux pids cgroup; capping it at the threads the process has makes CreateThread fail.
    const std::string group = WindowsPath(EnvironmentValue("VORNIC_PIDS_CGROUP"));
    if (group.empty()) {
        GTEST_SKIP() << "this host has no Linux pids cgroup to cap thread creation with";
    }
    ASSERT_TRUE(WriteText(group + "\\pids.max", ReadText(group + "\\pids.current")));
    OnServiceStop = CountStop;
    HANDLE probe = CreateThread(nullptr, 0, DoNothing, nullptr, 0, nullptr);
    if (probe == nullptr) {
        StartWorker(0, nullptr);
    }
    const int stops = Stops;
    WriteText(group + "\\pids.max", "max");
    if (probe != nullptr) {
        WaitForSingleObject(probe, INFINITE);
        CloseHandle(probe);
    }
    ASSERT_EQ(probe, nullptr) << "the cap on threads did not hold";
    // Reporting RUNNING with nothing running would hide the failure: the stop runs at once,
    // on the starting thread.
    EXPECT_EQ(stops, 1);
}
