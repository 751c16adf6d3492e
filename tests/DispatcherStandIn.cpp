#include "DispatcherStandIn.h"

#include "ImportRedirect.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using TDispatcher = BOOL(WINAPI*)(const SERVICE_TABLE_ENTRYA*);
using TRegisterHandler = SERVICE_STATUS_HANDLE(WINAPI*)(LPCSTR, LPHANDLER_FUNCTION);
using TSetStatus = BOOL(WINAPI*)(SERVICE_STATUS_HANDLE, LPSERVICE_STATUS);

TDispatcher RealDispatcher = nullptr;
TRegisterHandler RealRegisterHandler = nullptr;
TSetStatus RealSetStatus = nullptr;

// A service that neither stops nor ends within this has hung: the dispatcher gives up.
const auto Patience = std::chrono::seconds(10);
const auto StandInHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5E77);

std::mutex Lock;
std::condition_variable Changed;
std::vector<SERVICE_STATUS> Sent;
LPHANDLER_FUNCTION Handler = nullptr;
std::deque<DWORD> Pending;
unsigned long Delivered = 0;
unsigned long Queued = 0;
bool MainEnded = false;
bool HandlersOnOwnThreads = false;
std::vector<std::thread> HandlerThreads;
thread_local bool OnHandlerThread = false;
bool ProcessEnded = false;
int Lost = 0;

bool Stopped() {
    for (const SERVICE_STATUS& status : Sent) {
        if (status.dwCurrentState == SERVICE_STOPPED) {
            return true;
        }
    }
    return false;
}

SERVICE_STATUS_HANDLE WINAPI StandInRegisterHandler(LPCSTR, LPHANDLER_FUNCTION handler) {
    std::lock_guard<std::mutex> guard(Lock);
    Handler = handler;
    return StandInHandle;
}

BOOL WINAPI StandInSetStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    if (handle != StandInHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(Lock);
        Sent.push_back(*status);
        Changed.notify_all();
    }
    // As if the handler's thread lost the processor right after its last report.
    if (OnHandlerThread && status->dwCurrentState == SERVICE_STOPPED) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return TRUE;
}

// Wine's way: the handler on a thread of its own, and the answer written once it has returned.
void RunHandlerOnItsThread(LPHANDLER_FUNCTION handler, DWORD control) {
    OnHandlerThread = true;
    handler(control);
    std::lock_guard<std::mutex> guard(Lock);
    if (ProcessEnded) {
        ++Lost;
    }
}

BOOL WINAPI StandInDispatcher(const SERVICE_TABLE_ENTRYA* table) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Sent.clear();
        Handler = nullptr;
        MainEnded = false;
        ProcessEnded = false;
        Lost = 0;
    }
    std::thread serviceThread([table] {
        char* argv[] = {table[0].lpServiceName, nullptr};
        table[0].lpServiceProc(1, argv);
        std::lock_guard<std::mutex> guard(Lock);
        MainEnded = true;
        Changed.notify_all();
    });
    std::unique_lock<std::mutex> guard(Lock);
    const auto deadline = std::chrono::steady_clock::now() + Patience;
    for (;;) {
        Changed.wait_until(guard, deadline,
                           [] { return !Pending.empty() || (MainEnded && Stopped()); });
        if (Pending.empty()) {
            break;
        }
        const DWORD control = Pending.front();
        Pending.pop_front();
        const LPHANDLER_FUNCTION handler = Handler;
        guard.unlock();
        if (handler != nullptr && HandlersOnOwnThreads) {
            HandlerThreads.emplace_back(RunHandlerOnItsThread, handler, control);
        } else if (handler != nullptr) {
            handler(control);
        }
        guard.lock();
        ++Delivered;
        Changed.notify_all();
    }
    const bool done = MainEnded && Stopped();
    guard.unlock();
    // A service thread that hangs is left behind rather than hanging the test.
    if (done) {
        serviceThread.join();
    } else {
        serviceThread.detach();
    }
    SetLastError(done ? NO_ERROR : ERROR_SERVICE_REQUEST_TIMEOUT);
    return done ? TRUE : FALSE;
}

} // namespace

TDispatcherStandIn::TDispatcherStandIn(bool handlersOnOwnThreads) {
    HandlersOnOwnThreads = handlersOnOwnThreads;
    SwapImport("advapi32.dll", "StartServiceCtrlDispatcherA", RealDispatcher, &StandInDispatcher);
    SwapImport("advapi32.dll", "RegisterServiceCtrlHandlerA", RealRegisterHandler,
               &StandInRegisterHandler);
    SwapImport("advapi32.dll", "SetServiceStatus", RealSetStatus, &StandInSetStatus);
}

TDispatcherStandIn::~TDispatcherStandIn() {
    LostAnswers();
    RestoreImport("advapi32.dll", "StartServiceCtrlDispatcherA", RealDispatcher);
    RestoreImport("advapi32.dll", "RegisterServiceCtrlHandlerA", RealRegisterHandler);
    RestoreImport("advapi32.dll", "SetServiceStatus", RealSetStatus);
}

bool TDispatcherStandIn::Watching() const {
    return RealDispatcher != nullptr && RealRegisterHandler != nullptr && RealSetStatus != nullptr;
}

void TDispatcherStandIn::Control(DWORD control) {
    std::unique_lock<std::mutex> guard(Lock);
    Pending.push_back(control);
    const unsigned long ticket = ++Queued;
    Changed.notify_all();
    Changed.wait_for(guard, Patience, [ticket] { return Delivered >= ticket; });
}

void TDispatcherStandIn::ControlUntilReported(DWORD control, DWORD state) {
    std::unique_lock<std::mutex> guard(Lock);
    const size_t before = Sent.size();
    Pending.push_back(control);
    ++Queued;
    Changed.notify_all();
    Changed.wait_for(guard, Patience, [before, state] {
        for (size_t i = before; i < Sent.size(); ++i) {
            if (Sent[i].dwCurrentState == state) {
                return true;
            }
        }
        return false;
    });
}

std::vector<SERVICE_STATUS> TDispatcherStandIn::Reports() {
    std::lock_guard<std::mutex> guard(Lock);
    return Sent;
}

void TDispatcherStandIn::ProcessEnds() {
    std::lock_guard<std::mutex> guard(Lock);
    ProcessEnded = true;
}

int TDispatcherStandIn::LostAnswers() {
    for (std::thread& thread : HandlerThreads) {
        thread.join();
    }
    HandlerThreads.clear();
    std::lock_guard<std::mutex> guard(Lock);
    return Lost;
}

std::vector<DWORD> ReportedStates() {
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : TDispatcherStandIn::Reports()) {
        states.push_back(status.dwCurrentState);
    }
    return states;
}
