// The worker in-process: a second start, a start where no thread can be created, and stops that
// come at each moment of the start or as the child fails, through the stood-in dispatcher.
#include "DispatcherStandIn.h"
#include "ImportRedirect.h"
#include "Service.h"
#include "TestSupport.h"
#include "VornicService.h"

#include <gtest/gtest.h>

#include <algorithm>
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
// Workers that reached their launch; a worker may try more than once.
std::atomic<int> Launches{0};
std::vector<HANDLE> LaunchingThreads;
thread_local bool Launching = false;

// Holds the worker in its launch until released, then fails it as a missing program would.
BOOL WINAPI HeldCreateProcess(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                              DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION) {
    if (!Launching) {
        Launching = true;
        LaunchingThreads.push_back(OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()));
        ++Launches;
    }
    WaitForSingleObject(ReleaseLaunch, 10000);
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

// Where a stop control arrives: in the service's start, or in the wait that sees the child end.
enum class TStopPoint { InStartHook, BeforeResume, InWatch };
TStopPoint StopPoint;
bool StopSent = false;
int Created = 0;
int CreatedAfterStopped = 0;
// Children that CreateProcessA with the job list made in the wrapper's job, before any assignment.
int CreatedInJob = 0;
HANDLE WrapperJob = nullptr;
DWORD ServiceThread = 0;
HANDLE WatchedChild = nullptr;

decltype(&ResumeThread) RealResumeThread = nullptr;
decltype(&WaitForSingleObject) RealWait = nullptr;
decltype(&CreateJobObjectA) RealCreateJob = nullptr;

HANDLE WINAPI RecordingCreateJob(LPSECURITY_ATTRIBUTES security, LPCSTR name) {
    return WrapperJob = RealCreateJob(security, name);
}

// The service, held up at this point, goes on once the stop has begun.
void StopHere(TStopPoint point) {
    if (StopPoint == point && !StopSent) {
        StopSent = true;
        TDispatcherStandIn::ControlUntilReported(SERVICE_CONTROL_STOP, SERVICE_STOP_PENDING);
    }
}

// The worker's thread is the first that the service's own thread resumes; the test's threads are
// resumed through the same import.
DWORD WINAPI StoppingResumeThread(HANDLE thread) {
    if (GetCurrentThreadId() == ServiceThread) {
        StopHere(TStopPoint::BeforeResume);
    }
    return RealResumeThread(thread);
}

BOOL WINAPI RecordingCreateProcess(LPCSTR application, LPSTR line, LPSECURITY_ATTRIBUTES process,
                                   LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                   LPVOID environment, LPCSTR directory, LPSTARTUPINFOA startup,
                                   LPPROCESS_INFORMATION info) {
    const std::vector<DWORD> states = ReportedStates();
    CreatedAfterStopped += !states.empty() && states.back() == SERVICE_STOPPED ? 1 : 0;
    ++Created;
    const BOOL created = RealCreateProcess(application, line, process, thread, inherit, flags,
                                           environment, directory, startup, info);
    BOOL inJob = FALSE;
    CreatedInJob += created && (flags & EXTENDED_STARTUPINFO_PRESENT) != 0 &&
                    IsProcessInJob(info->hProcess, WrapperJob, &inJob) && inJob;
    WatchedChild = info->hProcess;
    return created;
}

// The stop is taken in the very wait that sees the child end: 50 ms is the watch's.
DWORD WINAPI StoppingWait(HANDLE handle, DWORD timeoutMs) {
    if (handle == WatchedChild && timeoutMs == 50) {
        StopHere(TStopPoint::InWatch);
        timeoutMs = INFINITE;
    }
    return RealWait(handle, timeoutMs);
}

} // namespace

TEST(StartWorker, SecondCallWhileAWorkerRunsDoesNothing) {
    ReleaseLaunch = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SwapImport("kernel32.dll", "CreateProcessA", RealCreateProcess, &HeldCreateProcess);
    ASSERT_NE(RealCreateProcess, nullptr);
    // Started as the service starts the worker: a worker whose launch fails stops the service.
    TDispatcherStandIn dispatcher;
    ServiceName = "SecondStart";
    CommandLine = SystemFile("cmd.exe");
    OnServiceStop = StopWorker;
    OnServiceStart = [](DWORD argc, LPSTR* argv) {
        StartWorker(argc, argv);
        StartWorker(argc, argv);
        // A second worker would be in its launch within moments of the first.
        for (const auto& wait : {std::make_pair(1, 10000), std::make_pair(2, 1000)}) {
            const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(wait.second);
            while (Launches < wait.first && GetTickCount64() < deadline) {
                Sleep(10);
            }
        }
        SetEvent(ReleaseLaunch);
    };
    EXPECT_EQ(RunService(), DWORD{NO_ERROR});
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

TEST(StopDuringTheStart, StartsNoChildOnceItBeganAndWinsOverAChildThatFails) {
    // No child once the stop began before the worker was made; at most one, made before STOPPED,
    // when it began as the worker's thread started (the watch then ends it). A child that ends with
    // 3 as the stop is taken does not end the wrapper with 3 (this process would end): the service
    // manager was told the service is stopping. A child is made in the job, not assigned to it
    // after.
    const struct {
        TStopPoint Point;
        const char* ExitCode;
        int MostCreated;
    } cases[] = {{TStopPoint::InStartHook, "0", 0},
                 {TStopPoint::BeforeResume, "0", 1},
                 {TStopPoint::InWatch, "3", 1}};
    SwapImport("kernel32.dll", "ResumeThread", RealResumeThread, &StoppingResumeThread);
    SwapImport("kernel32.dll", "CreateProcessA", RealCreateProcess, &RecordingCreateProcess);
    SwapImport("kernel32.dll", "WaitForSingleObject", RealWait, &StoppingWait);
    SwapImport("kernel32.dll", "CreateJobObjectA", RealCreateJob, &RecordingCreateJob);
    for (const auto& c : cases) {
        StopPoint = c.Point;
        StopSent = false;
        Created = CreatedAfterStopped = CreatedInJob = 0;
        CommandLine = std::string("C:\\windows\\system32\\cmd.exe /c exit ") + c.ExitCode;
        WorkingDirectory = "C:\\windows\\";
        OnServiceStart = [](DWORD argc, LPSTR* argv) {
            ServiceThread = GetCurrentThreadId();
            StopHere(TStopPoint::InStartHook);
            StartWorker(argc, argv);
        };
        OnServiceStop = StopWorker;
        {
            TDispatcherStandIn dispatcher;
            EXPECT_EQ(RunService(), DWORD{NO_ERROR});
        }
        const std::vector<SERVICE_STATUS> reports = TDispatcherStandIn::Reports();
        const std::vector<DWORD> states = ReportedStates();
        const auto point = static_cast<int>(c.Point);
        EXPECT_EQ(std::count(states.begin(), states.end(), DWORD{SERVICE_STOPPED}), 1) << point;
        EXPECT_TRUE(!states.empty() && states.back() == SERVICE_STOPPED &&
                    reports.back().dwWin32ExitCode == 0)
            << point;
        EXPECT_LE(Created, c.MostCreated) << point;
        EXPECT_EQ(CreatedInJob, Created) << point;
        EXPECT_EQ(CreatedAfterStopped, 0) << point;
    }
    RestoreImport("kernel32.dll", "CreateJobObjectA", RealCreateJob);
    RestoreImport("kernel32.dll", "WaitForSingleObject", RealWait);
    RestoreImport("kernel32.dll", "CreateProcessA", RealCreateProcess);
    RestoreImport("kernel32.dll", "ResumeThread", RealResumeThread);
}
