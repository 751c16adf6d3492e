#include "WrappedService.h"

#include "ServiceSupport.h"
#include "VornicService.h"

#include <atomic>
#include <thread>

namespace {

const DWORD Generous = 15000;

} // namespace

std::string Wrapped(const std::string& service, const std::string& launch) {
    return ComposeServiceCommandLine(WrapperPath(), service, launch);
}

std::string HelperLaunch(const std::string& report, const std::string& arguments) {
    DeleteFileA(report.c_str());
    DeleteFileA((report + ".grand").c_str());
    return WindowsPath(EnvironmentValue("CHILD_HELPER_EXE")) + " " + report + " " + arguments;
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
