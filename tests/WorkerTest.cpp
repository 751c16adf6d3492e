// The worker's start, in-process: a second start, and a start where no thread can be created.
#include "ImportRedirect.h"
#include "Service.h"
#include "TestSupport.h"
#include "VornicService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <utility>
#include <vector>

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

using TCreateProcess = decltype(&CreateProcessA);
TCreateProcess RealCreateProcess = nullptr;
HANDLE ReleaseLaunch = nullptr;
std::atomic<int> Launches{0};
std::vector<HANDLE> LaunchingThreads;

// Holds the worker in its launch until released, then fails it as a missing program would.
BOOL WINAPI HeldCreateProcess(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                              DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) {
    LaunchingThreads.push_back(OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()));
    ++Launches;
    WaitForSingleObject(ReleaseLaunch, 10000);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

void DoNotStop() {}

} // namespace

TEST(StartWorker, SecondCallWhileAWorkerRunsDoesNothing) {
    ReleaseLaunch = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SwapImport("kernel32.dll", "CreateProcessA", RealCreateProcess, &HeldCreateProcess);
    ASSERT_NE(RealCreateProcess, nullptr);
    OnServiceStop = DoNotStop;
    StartWorker(0, nullptr);
    StartWorker(0, nullptr);
    // A second worker would be in its launch within moments of the first.
    for (const auto& wait : {std::make_pair(1, 10000), std::make_pair(2, 1000)}) {
        const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait.second);
        while (Launches < wait.first && GetTickCount64() < deadline) {
            Sleep(10);
        }
    }
    SetEvent(ReleaseLaunch);
    // The workers end by themselves once their launch fails.
    for (HANDLE thread : LaunchingThreads) {
        EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    RestoreImport("kernel32.dll", "CreateProcessA", RealCreateProcess);
    CloseHandle(ReleaseLaunch);
    EXPECT_EQ(Launches, 1);
}

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
