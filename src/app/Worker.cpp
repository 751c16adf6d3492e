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

// Runs and watches the child; returns the lookup's or CreateProcessA's error when the child
// cannot start.
DWORD TExecuteThread::Execute() {
    SECURITY_ATTRIBUTES security{};
    security.nLength = sizeof(security);
    security.bInheritHandle = AllBitsTrue;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    std::string childLine;
    const DWORD lookup = QuoteWrappedProgram(CommandLine, childLine);
    if (lookup != NO_ERROR) {
        return lookup;
    }
    std::vector<char> line(childLine.begin(), childLine.end());
    line.push_back('\0');
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, line.data(), &security, &security, AllBitsTrue, CREATE_SUSPENDED,
                        nullptr, WorkingDirectory.c_str(), &startup, &child)) {
        return GetLastError();
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
    // The service control manager's recovery sees the process end with the child's code.
    if (ended && exitCode != 0) {
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
    if (Worker != nullptr) {
        return;
    }
    auto* worker = new TExecuteThread();
    Worker = worker;
    // Without a thread nothing would ever run or stop: stop rather than report RUNNING.
    if (!worker->HasThread()) {
        StopService();
        return;
    }
    worker->AfterConstruction();
}

void StopWorker() {
    delete Worker.exchange(nullptr);
}
