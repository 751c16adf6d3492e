// The worker: runs the wrapped command as a hidden child on a thread of its own, watches
// it, terminates it when the service stops, and stops the service when it ends.
#include "VornicService.h"

#include "../service/Service.h"

#include <atomic>
#include <vector>

namespace {

class TExecuteThread final {
  public:
    TExecuteThread();
    TExecuteThread(const TExecuteThread&) = delete;
    TExecuteThread& operator=(const TExecuteThread&) = delete;
    ~TExecuteThread();

    bool HasThread() const {
        return ThreadHandle != nullptr;
    }
    void AfterConstruction();
    void RequestStop();
    void WaitForThread();

  private:
    DWORD Execute();
    static DWORD WINAPI ThreadEntry(LPVOID parameter);

    HANDLE ThreadHandle = nullptr;
    DWORD ThreadId = 0;
    std::atomic<bool> StopRequested{false};
    int ThreadResult = 0;
    std::atomic<bool> FreeWhenDone{true};
    std::atomic<bool> ExecuteDone{false};
};

// The one worker of the process. Whoever takes the object out of it destroys it:
// StopWorker on a stop control, or the worker thread when the child ends by itself.
std::atomic<TExecuteThread*> Worker{nullptr};
// Held by StartWorker from its test for a stop until the worker's thread is resumed, and by
// StopWorker to take the worker: a stop never destroys a worker whose thread has not run yet,
// nor one that StartWorker still uses, and a stop that took no worker keeps any from starting.
// A Win32 lock, since std::mutex would link a threads library into the executable.
SRWLOCK WorkerLock = SRWLOCK_INIT;

// Windows reads any non-zero BOOL as true; this one has all bits set.
constexpr BOOL AllBitsTrue = -1;
constexpr DWORD WatchSliceMs = 50;
// TerminateProcess only begins the child's end; its files and ports are free once it is gone.
constexpr DWORD ChildEndPatienceMs = 5000;

TExecuteThread::TExecuteThread() {
    ThreadHandle = CreateThread(nullptr, 0, ThreadEntry, this, CREATE_SUSPENDED, &ThreadId);
}

TExecuteThread::~TExecuteThread() {
    FreeWhenDone = false;
    if (ThreadId != 0 && !ExecuteDone) {
        RequestStop();
        WaitForThread();
    }
    if (ThreadHandle != nullptr) {
        CloseHandle(ThreadHandle);
        ThreadHandle = nullptr;
    }
}

void TExecuteThread::AfterConstruction() {
    ResumeThread(ThreadHandle);
}

void TExecuteThread::RequestStop() {
    StopRequested = true;
}

void TExecuteThread::WaitForThread() {
    WaitForSingleObject(ThreadHandle, INFINITE);
}

// A job that ends the child when the wrapper's process ends, on any road: also when the wrapper
// is ended from outside, which would otherwise leave the child running as LocalSystem with no
// service around it. What the child starts breaks away from the job, and lives on as after a
// stop. Null when none can be made: the child then runs as it would without the job.
HANDLE CreateWrapperJob() {
    // Without security attributes the handle is not inheritable: a child holding it would keep
    // its own job open.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
    if (job != nullptr &&
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

// An attribute list that has CreateProcessA make the child in the job, which it refers to until
// the list is deleted; empty where Windows cannot (before Windows 10).
std::vector<char> JobAttributeList(const HANDLE& job) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (job == nullptr || size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) {
        return {};
    }
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST,
                                   const_cast<HANDLE*>(&job), sizeof(job), nullptr, nullptr)) {
        DeleteProcThreadAttributeList(list);
        return {};
    }
    return attributes;
}

// Runs and watches the child; returns the lookup's, the rights' or CreateProcessA's error when
// the child cannot start.
DWORD TExecuteThread::Execute() {
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.bInheritHandle = AllBitsTrue;
    STARTUPINFOEXA startup{};
    startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    startup.StartupInfo.dwFlags = STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    TChildLaunch launch;
    const DWORD refusal = PrepareChildLaunch(CommandLine, launch);
    if (refusal != NO_ERROR) {
        return refusal;
    }
    std::vector<char> line(launch.Line.begin(), launch.Line.end());
    line.push_back('\0');
    // A stop that took this worker while its thread started: no child. One that began before the
    // worker was made found none, and StartWorker then made none.
    if (StopRequested) {
        return NO_ERROR;
    }
    const auto create = [&](DWORD flags, PROCESS_INFORMATION& child) {
        // Given the file that was checked, Windows searches for no other.
        return CreateProcessA(launch.Application.c_str(), line.data(), &security, &security,
                              AllBitsTrue, flags, nullptr, WorkingDirectory.c_str(),
                              &startup.StartupInfo, &child);
    };
    HANDLE job = CreateWrapperJob();
    // Made in the job, the child cannot outlive a wrapper that is ended while CreateProcessA
    // runs. Where that cannot be (before Windows 10) it joins the job after, still suspended.
    PROCESS_INFORMATION child{};
    bool created = false;
    std::vector<char> attributes = JobAttributeList(job);
    if (!attributes.empty()) {
        startup.StartupInfo.cb = sizeof(startup);
        startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        created = create(CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, child) != FALSE;
        DeleteProcThreadAttributeList(startup.lpAttributeList);
        startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    }
    if (!created && !create(CREATE_SUSPENDED, child)) {
        const DWORD error = GetLastError();
        if (job != nullptr) {
            CloseHandle(job);
        }
        return error;
    }
    // A call that succeeds need not have used the list: Wine starts a batch file through cmd.exe
    // without it. Before Windows 8 a process that is already in a job cannot join another: it
    // then runs without one.
    BOOL inJob = FALSE;
    if (job != nullptr && IsProcessInJob(child.hProcess, job, &inJob) && !inJob &&
        !AssignProcessToJobObject(job, child.hProcess)) {
        CloseHandle(job);
        job = nullptr;
    }
    ResumeThread(child.hThread);
    // Loaded while the child runs, so that stopping it later does not wait for the load.
    const auto postThreadMessage =
        User32Function<decltype(&PostThreadMessageA)>("PostThreadMessageA");

    bool ended = false;
    while (!StopRequested && !ended) {
        ended = WaitForSingleObject(child.hProcess, WatchSliceMs) == WAIT_OBJECT_0;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(child.hProcess, &exitCode)) {
        exitCode = 0;
    }
    // The service control manager's recovery sees the process end with the child's code; once a
    // stop has begun, it has been told the service is stopping, and the stop must end it.
    if (ended && exitCode != 0 && BeginProcessEnd()) {
        ExitProcess(exitCode);
    }
    if (postThreadMessage != nullptr) {
        postThreadMessage(child.dwThreadId, WM_QUIT, 0, 0);
    }
    TerminateThread(child.hThread, 0);
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, ChildEndPatienceMs);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    if (job != nullptr) {
        CloseHandle(job);
    }
    return NO_ERROR;
}

DWORD WINAPI TExecuteThread::ThreadEntry(LPVOID parameter) {
    auto* self = static_cast<TExecuteThread*>(parameter);
    DWORD launchError = NO_ERROR;
    try {
        launchError = self->Execute();
    } catch (...) {
        // The exit steps below must run whatever happened.
    }
    const auto result = static_cast<DWORD>(self->ThreadResult);
    TExecuteThread* expected = self;
    const bool freeHere = self->FreeWhenDone && Worker.compare_exchange_strong(expected, nullptr);
    // From here on, a destructor on another thread may release the object without waiting.
    self->ExecuteDone = true;
    if (freeHere) {
        delete self;
    }
    // The STOPPED report names a launch that failed, so that the service manager shows it.
    StopService(launchError);
    ExitThread(result);
}

} // namespace

void StartWorker(DWORD, LPSTR*) {
    AcquireSRWLockExclusive(&WorkerLock);
    bool withoutThread = false;
    // A stop that began first found no worker to stop: none may start after it.
    if (Worker == nullptr && !StopHasBegun()) {
        auto* worker = new TExecuteThread();
        withoutThread = !worker->HasThread();
        if (withoutThread) {
            delete worker;
        } else {
            Worker = worker;
            // From here on the worker's thread may free the object.
            worker->AfterConstruction();
        }
    }
    ReleaseSRWLockExclusive(&WorkerLock);
    // Without a thread nothing would ever run or stop: stop rather than report RUNNING.
    if (withoutThread) {
        StopService();
    }
}

void StopWorker() {
    AcquireSRWLockExclusive(&WorkerLock);
    TExecuteThread* worker = Worker.exchange(nullptr);
    ReleaseSRWLockExclusive(&WorkerLock);
    delete worker;
}
