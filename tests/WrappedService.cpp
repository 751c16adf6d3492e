#include "WrappedService.h"

#include "ServiceSupport.h"
#include "VornicService.h"

#include <atomic>
#include <thread>

namespace {

const DWORD Generous = 15000;

} // namespace

const std::string Cmd = "C:\\windows\\system32\\cmd.exe";
const std::string Ping = "C:\\windows\\system32\\ping.exe";
const std::string Net = "C:\\windows\\system32\\net.exe";

std::string Wrapped(const std::string& service, const std::string& launch) {
    return ComposeServiceCommandLine(WrapperPath(), service, launch);
}

std::string HelperLaunch(const std::string& report, const std::string& arguments) {
    DeleteFileA(report.c_str());
    DeleteFileA((report + ".grand").c_str());
    return ChildHelperPath() + " " + report + " " + arguments;
}

std::map<std::string, std::string> ReadReport(const std::string& path, DWORD timeoutMs) {
    std::map<std::string, std::string> fields;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    HANDLE file = INVALID_HANDLE_VALUE;
    while (file == INVALID_HANDLE_VALUE && GetTickCount64() < deadline) {
        file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(10);
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return fields;
    }
    char text[4096] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    std::string rest(text, read);
    for (size_t end; (end = rest.find("\r\n")) != std::string::npos; rest.erase(0, end + 2)) {
        const std::string line = rest.substr(0, end);
        const size_t equals = line.find('=');
        fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return fields;
}

DWORD ReportedPid(const std::string& report) {
    const auto fields = ReadReport(report, Generous);
    return fields.count("pid") != 0 ? static_cast<DWORD>(std::stoul(fields.at("pid"))) : 0;
}

bool Gone(const TProcess& process) {
    return !process.Started() || process.WaitForExit(Generous) != STILL_ACTIVE;
}

std::string WriteBatch(const std::string& name, const std::string& lines) {
    const std::string path = TempPath(name);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    CloseHandle(file);
    return path;
}

DWORD StartedBy(DWORD parentId) {
    HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentId);
    HANDLE child = nullptr;
    for (const ULONGLONG deadline = GetTickCount64() + Generous;
         parent != nullptr && child == nullptr && GetTickCount64() < deadline; Sleep(10)) {
        child = OpenChildOf(parent);
    }
    const DWORD id = child != nullptr ? GetProcessId(child) : 0;
    for (HANDLE handle : {child, parent}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    return id;
}

std::string RaceLaunch(int n, DWORD childLifeMs, const std::string& report) {
    switch (n % 10) {
    case 9:
        return "";
    case 4:
        return HelperLaunch(report, "run");
    default:
        return HelperLaunch(report, "exit 0 " + std::to_string(childLifeMs));
    }
}

TStopRace RunStopRace(const std::string& name, const std::string& launch, DWORD pauseMs,
                      TRaceEnd end) {
    TStopRace race;
    TServiceEntry entry(name, Wrapped(name, launch));
    if (!entry.Created()) {
        race.StartError = GetLastError();
        return race;
    }
    const ULONGLONG start = GetTickCount64();
    TWrapperProcess wrapper(name);
    // Wine's StartServiceA answers 1053 at once, and ends the process, when the service has left
    // START_PENDING by the time it looks, as a wrapper whose child cannot start may have; a
    // service that never connects takes Wine's 10 s to fail.
    const bool leftStartPendingEarly = wrapper.StartError == ERROR_SERVICE_REQUEST_TIMEOUT &&
                                       GetTickCount64() - start < 5000 &&
                                       QueryStatus(name).dwCurrentState == SERVICE_STOPPED;
    race.Started = wrapper.Started || leftStartPendingEarly;
    race.StartError = wrapper.StartError;
    race.Watched = wrapper.Handle != nullptr;
    if (!race.Started) {
        return race;
    }
    Sleep(pauseMs);
    if (end == TRaceEnd::Kill && race.Watched) {
        TerminateProcess(wrapper.Handle, 1);
    } else {
        SendControl(name, SERVICE_CONTROL_STOP);
    }
    if (race.Watched) {
        race.ExitCode = wrapper.ExitCode();
    }
    // A wrapper that ended with another code never reports STOPPED: no wait for it.
    const bool stopping = !race.Watched || race.ExitCode == 0;
    race.Stopped =
        stopping && WaitForState(name, SERVICE_STOPPED, Generous).dwCurrentState == SERVICE_STOPPED;
    race.LastState = QueryStatus(name).dwCurrentState;
    if (!race.Watched) {
        return race;
    }
    HANDLE child = OpenChildOf(wrapper.Handle);
    if (child != nullptr) {
        race.ChildLeftBehind = WaitForSingleObject(child, Generous) == WAIT_TIMEOUT;
        if (race.ChildLeftBehind) {
            TerminateProcess(child, 0);
        }
        CloseHandle(child);
    }
    return race;
}

TWrapperProcess::TWrapperProcess(const std::string& service) : Service(service) {
    std::atomic<bool> starting{true};
    std::thread watcher([&] {
        const ULONGLONG deadline = GetTickCount64() + Generous;
        while (Handle == nullptr && (starting || GetTickCount64() < deadline)) {
            const DWORD pid = QueryStatus(service).dwProcessId;
            if (pid != 0) {
                Handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION |
                                         PROCESS_DUP_HANDLE | PROCESS_TERMINATE,
                                     FALSE, pid);
            }
        }
    });
    Started = StartServiceNamed(service);
    StartError = Started ? 0 : GetLastError();
    starting = false;
    watcher.join();
}

TWrapperProcess::~TWrapperProcess() {
    if (Handle == nullptr) {
        return;
    }
    if (WaitForSingleObject(Handle, 0) == WAIT_TIMEOUT) {
        SendControl(Service, SERVICE_CONTROL_STOP);
        if (WaitForSingleObject(Handle, Generous) == WAIT_TIMEOUT) {
            TerminateProcess(Handle, 1);
        }
    }
    CloseHandle(Handle);
}

DWORD TWrapperProcess::ExitCode() const {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(Handle, Generous) == WAIT_OBJECT_0) {
        GetExitCodeProcess(Handle, &code);
    }
    return code;
}
