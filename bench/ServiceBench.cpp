// Measures the wrapper (wrapping ChildHelper) against a minimal hand-written service on the same
// service control manager: start, stop and self-stop latency, idle CPU and private memory.
// It prints figures and whether each target is met; a missed target is not a failure.
//   service_bench.exe                     runs the benchmark
//   service_bench.exe --delete-services   only deletes the entries a broken run may have left
#include "ServiceSupport.h"
#include "TestSupport.h"
#include "VornicService.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

const size_t Cycles = 30;
const size_t NetStops = 50;
const DWORD Generous = 15000;
const DWORD IdleWindowMs = 10000;
const char* const WrapperName = "VornicBenchWrapper";
const char* const SelfStopName = "VornicBenchSelfStop";
const char* const BaselineName = "VornicBenchBaseline";

double NowMs() {
    static const double msPerTick = [] {
        LARGE_INTEGER frequency{};
        QueryPerformanceFrequency(&frequency);
        return 1000.0 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * msPerTick;
}

// Checks about every millisecond: finer would take a core from the processes being measured.
template <class TCondition> bool PollUntil(TCondition done, DWORD timeoutMs) {
    const double deadline = NowMs() + timeoutMs;
    while (!done()) {
        if (NowMs() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

// A service entry of the benchmark, held open so that each poll costs a single call. The
// entry is deleted when this goes, on every road out of the benchmark.
class TBenchService {
  public:
    TBenchService(const std::string& name, const std::string& binaryPath)
        : Entry(name, binaryPath), Handle(OpenServiceNamed(name)) {}
    TBenchService(const TBenchService&) = delete;
    TBenchService& operator=(const TBenchService&) = delete;
    ~TBenchService() {
        if (Handle != nullptr) {
            CloseServiceHandle(Handle);
        }
    }

    bool Ready() const {
        return Entry.Created() && Handle != nullptr;
    }
    SERVICE_STATUS_PROCESS Status() const {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        QueryServiceStatusEx(Handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                             sizeof(status), &needed);
        return status;
    }
    bool Start() const {
        return StartServiceA(Handle, 0, nullptr) != FALSE;
    }
    // Wine may answer 109 although the stop went through: callers poll the state.
    void Stop() const {
        SERVICE_STATUS status{};
        ControlService(Handle, SERVICE_CONTROL_STOP, &status);
    }

  private:
    TServiceEntry Entry;
    SC_HANDLE Handle;
};

// One start of a service: its process and, when wrapped, the child, opened as soon as seen;
// the times are milliseconds after the call to StartServiceA.
struct TRun {
    TRun() = default;
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;
    ~TRun() {
        for (HANDLE handle : {Process, Child}) {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    }
    HANDLE Process = nullptr;
    HANDLE Child = nullptr;
    double Running = -1;
    double ChildCreated = -1;
    double ChildReported = -1;
};

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The process's creation time and its kernel plus user time, in 100 ns units.
struct TProcessTimes {
    ULONGLONG Created = 0;
    ULONGLONG Busy = 0;
};

TProcessTimes TimesOf(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    return {Ticks(created), Ticks(kernel) + Ticks(user)};
}

// Starts the service and polls until it reports RUNNING and, when it wraps a child (report
// given), until the child process exists and has written its report.
bool StartAndWatch(const TBenchService& service, const std::string& report, TRun& run) {
    const bool wrapped = !report.empty();
    if (wrapped) {
        DeleteFileA(report.c_str());
    }
    const double start = NowMs();
    if (!service.Start()) {
        return false;
    }
    return PollUntil(
        [&] {
            if (run.Running < 0) {
                const SERVICE_STATUS_PROCESS status = service.Status();
                if (status.dwCurrentState == SERVICE_RUNNING) {
                    run.Running = NowMs() - start;
                }
                if (run.Process == nullptr && status.dwProcessId != 0) {
                    run.Process =
                        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
                                    FALSE, status.dwProcessId);
                }
            }
            if (!wrapped) {
                return run.Running >= 0;
            }
            if (run.Child == nullptr && run.Process != nullptr) {
                run.Child = OpenChildOf(run.Process);
                run.ChildCreated = run.Child != nullptr ? NowMs() - start : -1;
            }
            if (run.ChildReported < 0 &&
                GetFileAttributesA(report.c_str()) != INVALID_FILE_ATTRIBUTES) {
                run.ChildReported = NowMs() - start;
            }
            return run.Running >= 0 && run.Child != nullptr && run.ChildReported >= 0;
        },
        Generous);
}

// Polls until the service reports STOPPED and the child, if any, is gone; returns the
// milliseconds after the given moment, or -1 on a time-out.
double WaitStopped(const TBenchService& service, HANDLE child, double since) {
    double stopped = -1;
    PollUntil(
        [&] {
            if (service.Status().dwCurrentState != SERVICE_STOPPED ||
                (child != nullptr && WaitForSingleObject(child, 0) != WAIT_OBJECT_0)) {
                return false;
            }
            stopped = NowMs() - since;
            return true;
        },
        Generous);
    return stopped;
}

// Leaves the service stopped and its process ended, whatever state a cycle left it in, so
// that the next start is not refused or slowed by the last one.
void EnsureStopped(const TBenchService& service, const TRun& run) {
    if (service.Status().dwCurrentState != SERVICE_STOPPED) {
        service.Stop();
        WaitStopped(service, run.Child, NowMs());
    }
    if (run.Process != nullptr) {
        WaitForSingleObject(run.Process, Generous);
    }
}

struct TLatencies {
    std::vector<double> Running;
    std::vector<double> ChildCreated;
    std::vector<double> ChildReported;
    std::vector<double> Stop;
    int Failed = 0;
};

// A start, a pause that puts the stop request anywhere in the wrapper's 50 ms watch, a stop.
void StartStopCycle(const TBenchService& service, const std::string& report, DWORD pauseMs,
                    TLatencies& out) {
    TRun run;
    double stop = -1;
    if (StartAndWatch(service, report, run)) {
        Sleep(pauseMs);
        const double requested = NowMs();
        service.Stop();
        stop = WaitStopped(service, run.Child, requested);
    }
    EnsureStopped(service, run);
    if (stop < 0) {
        ++out.Failed;
        return;
    }
    out.Running.push_back(run.Running);
    out.ChildCreated.push_back(run.ChildCreated);
    out.ChildReported.push_back(run.ChildReported);
    out.Stop.push_back(stop);
}

// The wrapper around a child that exits by itself: from the moment this process sees the
// child end (its wait is released with the wrapper's) to the service reporting STOPPED.
void SelfStopCycle(const TBenchService& service, const std::string& report, TLatencies& out) {
    TRun run;
    double stop = -1;
    if (StartAndWatch(service, report, run) &&
        WaitForSingleObject(run.Child, Generous) == WAIT_OBJECT_0) {
        const double exited = NowMs();
        stop = WaitStopped(service, nullptr, exited);
    }
    EnsureStopped(service, run);
    if (stop < 0) {
        ++out.Failed;
        return;
    }
    out.Stop.push_back(stop);
}

// Stops through net.exe, as administrators type them: how many of them ended with a non-zero
// code. Under Wine that is "Broken pipe." when the stop control's answer was lost.
size_t NetStopFailures(const TBenchService& service, const char* name, const std::string& report) {
    size_t failures = 0;
    for (size_t stop = 0; stop < NetStops; ++stop) {
        TRun run;
        if (StartAndWatch(service, report, run)) {
            // A console of its own, out of sight: its lines would bury the figures.
            TProcess net("C:\\windows\\system32\\net.exe stop " + std::string(name),
                         CREATE_NO_WINDOW);
            failures += net.WaitForExit(Generous) != 0 ? 1 : 0;
        } else {
            ++failures;
        }
        EnsureStopped(service, run);
    }
    return failures;
}

// Kernel plus user time in 100 ns units, as the process's own figure and summed over its
// threads (threads that end within the window drop out of the sum; idle services end none).
struct TCpu {
    ULONGLONG Process = 0;
    ULONGLONG Threads = 0;
};

TCpu CpuOf(HANDLE process) {
    TCpu cpu;
    cpu.Process = TimesOf(process).Busy;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return cpu;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != GetProcessId(process)) {
            continue;
        }
        HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME created{}, exited{}, kernel{}, user{};
        if (thread != nullptr && GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
            cpu.Threads += Ticks(kernel) + Ticks(user);
        }
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
    return cpu;
}

struct TMemory {
    SIZE_T PrivateUsage = 0;
    SIZE_T PagefileUsage = 0;
    SIZE_T PrivateCommitted = 0;
    SIZE_T WorkingSet = 0;
};

TMemory MemoryOf(HANDLE process) {
    TMemory memory;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters))) {
        memory.PrivateUsage = counters.PrivateUsage;
        memory.PagefileUsage = counters.PagefileUsage;
        memory.WorkingSet = counters.WorkingSetSize;
    }
    // The committed private pages of the address space as Windows code sees them.
    MEMORY_BASIC_INFORMATION region{};
    for (const char* address = nullptr;
         VirtualQueryEx(process, address, &region, sizeof(region)) == sizeof(region);
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            memory.PrivateCommitted += region.RegionSize;
        }
    }
    return memory;
}

struct TSteadyState {
    TCpu Before;
    TCpu After;
    TMemory Memory;
};

struct TSteadyStates {
    TSteadyState Wrapper;
    TSteadyState Baseline;
    double WindowMs = 0;
};

// Both services run side by side through the idle window; then their memory is read (after
// the window, since reading another process's regions makes it work).
bool MeasureSteadyState(const TBenchService& wrapper, const std::string& report,
                        const TBenchService& baseline, TSteadyStates& out) {
    TRun wrapperRun, baselineRun;
    const bool started =
        StartAndWatch(wrapper, report, wrapperRun) && StartAndWatch(baseline, "", baselineRun);
    if (started) {
        Sleep(1000); // Let the start's own work settle before the window opens.
        const double begin = NowMs();
        out.Wrapper.Before = CpuOf(wrapperRun.Process);
        out.Baseline.Before = CpuOf(baselineRun.Process);
        Sleep(IdleWindowMs);
        out.Wrapper.After = CpuOf(wrapperRun.Process);
        out.Baseline.After = CpuOf(baselineRun.Process);
        out.WindowMs = NowMs() - begin;
        out.Wrapper.Memory = MemoryOf(wrapperRun.Process);
        out.Baseline.Memory = MemoryOf(baselineRun.Process);
    }
    EnsureStopped(wrapper, wrapperRun);
    EnsureStopped(baseline, baselineRun);
    return started;
}

struct TFigures {
    double Median = -1;
    double P95 = -1;
};

// Median, and the 95th percentile by nearest rank.
TFigures Summarise(std::vector<double> samples) {
    TFigures figures;
    if (samples.empty()) {
        return figures;
    }
    std::sort(samples.begin(), samples.end());
    const size_t count = samples.size();
    figures.Median = (samples[(count - 1) / 2] + samples[count / 2]) / 2;
    figures.P95 = samples[(count * 95 + 99) / 100 - 1];
    return figures;
}

const char* Verdict(bool met) {
    return met ? "yes" : "NO";
}

void PrintLatency(const char* what, const char* who, const TFigures& figures,
                  const std::string& target = "", const char* met = "") {
    std::printf("%-36s %-9s %8.1f %8.1f  %-34s %s\n", what, who, figures.Median, figures.P95,
                target.c_str(), met);
}

std::string Ratios(const TFigures& wrapper, const TFigures& baseline) {
    char text[64];
    std::snprintf(text, sizeof(text), "<= 1.3x baseline (%.2fx, %.2fx)",
                  wrapper.Median / baseline.Median, wrapper.P95 / baseline.P95);
    return text;
}

unsigned long long Kib(SIZE_T bytes) {
    return bytes / 1024;
}

void PrintMemory(const char* what, SIZE_T wrapper, SIZE_T baseline) {
    const bool known = wrapper != 0 && baseline != 0;
    const double ratio = known ? static_cast<double>(wrapper) / static_cast<double>(baseline) : 0;
    char target[64];
    std::snprintf(target, sizeof(target), "<= 1.2x baseline (%.2fx)", ratio);
    std::printf("%-36s %10llu %10llu  %-34s %s\n", what, Kib(baseline), Kib(wrapper),
                known ? target : "not measured: Wine reports 0",
                known ? Verdict(ratio <= 1.2) : "-");
}

// Percent of one core over the window. Wine reads thread times from Linux in clock ticks of
// 10 ms: the figure moves in steps of one tick over the window.
void PrintIdleCpu(const char* what, const TSteadyStates& steady, ULONGLONG TCpu::*figure,
                  bool judged) {
    const auto percent = [&](double ms) { return ms / steady.WindowMs * 100.0; };
    const auto busy = [&](const TSteadyState& state) {
        return percent(static_cast<double>(state.After.*figure - state.Before.*figure) / 1e4);
    };
    const bool known = steady.Wrapper.After.*figure != 0;
    char target[64];
    std::snprintf(target, sizeof(target), "< 0.5 (a 10 ms tick is %.3f)", percent(10));
    std::printf("%-36s %10.3f %10.3f  %-34s %s\n", what, busy(steady.Baseline),
                busy(steady.Wrapper),
                !known   ? "not measured: Wine reports 0"
                : judged ? target
                         : "not judged",
                known && judged ? Verdict(busy(steady.Wrapper) < 0.5) : "-");
}

void PrintReport(const TLatencies& wrapper, const TLatencies& baseline, const TLatencies& selfStop,
                 const TSteadyStates& steady) {
    const TFigures wrapperStart = Summarise(wrapper.Running);
    const TFigures baselineStart = Summarise(baseline.Running);
    const TFigures wrapperStop = Summarise(wrapper.Stop);
    std::printf("\n%-36s %-9s %8s %8s  %-34s %s\n", "latency, ms", "service", "median", "p95",
                "target", "met");
    PrintLatency("start: StartServiceA to RUNNING", "baseline", baselineStart);
    PrintLatency("", "wrapper", wrapperStart, Ratios(wrapperStart, baselineStart),
                 Verdict(wrapperStart.Median <= 1.3 * baselineStart.Median &&
                         wrapperStart.P95 <= 1.3 * baselineStart.P95));
    PrintLatency("start: to child process created", "wrapper", Summarise(wrapper.ChildCreated));
    PrintLatency("start: to child's report written", "wrapper", Summarise(wrapper.ChildReported));
    PrintLatency("stop: request to STOPPED", "baseline", Summarise(baseline.Stop));
    PrintLatency("stop: request to STOPPED, child gone", "wrapper", wrapperStop,
                 "median <= 40, p95 <= 70",
                 Verdict(wrapperStop.Median <= 40 && wrapperStop.P95 <= 70));
    PrintLatency("self-stop: child exit to STOPPED", "wrapper", Summarise(selfStop.Stop));
    std::printf(
        "cycles measured (failed): wrapper %zu (%d), baseline %zu (%d), self-stop %zu (%d)\n",
        wrapper.Stop.size(), wrapper.Failed, baseline.Stop.size(), baseline.Failed,
        selfStop.Stop.size(), selfStop.Failed);

    std::printf("\n%-36s %10s %10s  %-34s %s\n", "steady state", "baseline", "wrapper", "target",
                "met");
    // Under Wine another process's own figure does not follow its threads' (it moves for an
    // idle baseline whose threads stand still, and stood still over 30 s of a polling wrapper).
    PrintIdleCpu("idle CPU 10 s, % core, process times", steady, &TCpu::Process, false);
    PrintIdleCpu("idle CPU 10 s, % core, thread times", steady, &TCpu::Threads, true);
    const TMemory& wrapped = steady.Wrapper.Memory;
    const TMemory& bare = steady.Baseline.Memory;
    PrintMemory("PrivateUsage, KiB", wrapped.PrivateUsage, bare.PrivateUsage);
    PrintMemory("PagefileUsage (commit charge), KiB", wrapped.PagefileUsage, bare.PagefileUsage);
    PrintMemory("committed private regions, KiB", wrapped.PrivateCommitted, bare.PrivateCommitted);
    std::printf("%-36s %10llu %10llu\n", "working set, KiB", Kib(bare.WorkingSet),
                Kib(wrapped.WorkingSet));
    std::printf("Under Wine, a running process's own CPU times do not follow its threads' times, "
                "which are\njudged; PagefileUsage is the process's resident anonymous Linux "
                "memory, Wine's own included;\nthe committed private regions are those "
                "VirtualQueryEx shows Windows code.\n");
}

int DeleteServices() {
    for (const char* name : {WrapperName, SelfStopName, BaselineName}) {
        StopAndDelete(name);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--delete-services") == 0) {
        return DeleteServices();
    }
    const std::string helper = ChildHelperPath();
    const std::string report = TempPath("bench.report");
    // No blanks in these paths: the launch command cannot quote them.
    const auto wrapping = [&](const char* name, const std::string& mode) {
        return ComposeServiceCommandLine(WrapperPath(), name, helper + " " + report + " " + mode);
    };
    TBenchService wrapper(WrapperName, wrapping(WrapperName, "run"));
    TBenchService selfStop(SelfStopName, wrapping(SelfStopName, "exit 0 300"));
    TBenchService baseline(BaselineName, WindowsPath(EnvironmentValue("BASELINE_EXE")));
    if (!wrapper.Ready() || !selfStop.Ready() || !baseline.Ready()) {
        std::printf("cannot create the benchmark's service entries (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("wrapper (%s build) against a minimal service, %zu cycles each, under the same "
                "service control manager\n",
                sizeof(void*) == 8 ? "x86-64" : "i686", Cycles);
    std::fflush(stdout);

    // Interleaved and equally paused, so that neither profits from the order or the pause.
    std::mt19937 random(20261208);
    std::uniform_int_distribution<DWORD> pause(0, 99);
    TLatencies wrapperFigures, baselineFigures, selfStopFigures;
    for (size_t attempt = 0; attempt < 2 * Cycles && (wrapperFigures.Stop.size() < Cycles ||
                                                      baselineFigures.Stop.size() < Cycles);
         ++attempt) {
        const DWORD pauseMs = pause(random);
        StartStopCycle(wrapper, report, pauseMs, wrapperFigures);
        StartStopCycle(baseline, "", pauseMs, baselineFigures);
    }
    for (size_t attempt = 0; attempt < 2 * Cycles && selfStopFigures.Stop.size() < Cycles;
         ++attempt) {
        SelfStopCycle(selfStop, report, selfStopFigures);
    }
    const size_t wrapperNetFailures = NetStopFailures(wrapper, WrapperName, report);
    const size_t baselineNetFailures = NetStopFailures(baseline, BaselineName, "");
    TSteadyStates steady;
    const bool steadyMeasured = MeasureSteadyState(wrapper, report, baseline, steady);
    DeleteFileA(report.c_str());

    PrintReport(wrapperFigures, baselineFigures, selfStopFigures, steady);
    std::printf("\nnet stop ended non-zero: wrapper %zu of %zu, baseline %zu of %zu (target: 0 for "
                "both) %s\n",
                wrapperNetFailures, NetStops, baselineNetFailures, NetStops,
                Verdict(wrapperNetFailures == 0 && baselineNetFailures == 0));
    const bool complete = steadyMeasured && wrapperFigures.Stop.size() >= Cycles &&
                          baselineFigures.Stop.size() >= Cycles &&
                          selfStopFigures.Stop.size() >= Cycles;
    if (!complete) {
        std::printf("incomplete: some services did not start or stop in time\n");
    }
    return complete ? 0 : 1;
}
