#include "TestSupport.h"

#include <gtest/gtest.h>

#include <sddl.h>
#include <tlhelp32.h>

#include <set>
#include <vector>

std::string EnvironmentValue(const char* name) {
    std::vector<char> buffer(32768);
    DWORD length = GetEnvironmentVariableA(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    return length < buffer.size() ? std::string(buffer.data(), length) : std::string();
}

std::string WindowsPath(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::string result = "Z:" + path;
    for (char& c : result) {
        if (c == '/') {
            c = '\\';
        }
    }
    return result;
}

std::string InstalledProgram(const char* variable) {
    const std::string built = WindowsPath(EnvironmentValue(variable));
    const std::string folder = "C:\\Program Files\\Vornic Tests";
    const std::string installed = folder + built.substr(built.rfind('\\'));
    // Once per test process: a service of an earlier test may still hold the copy for a moment.
    static std::set<std::string> copied;
    if (copied.insert(installed).second) {
        CreateDirectoryA(folder.c_str(), nullptr);
        for (int i = 0; i < 100 && !CopyFileA(built.c_str(), installed.c_str(), FALSE); ++i) {
            Sleep(50);
        }
    }
    return installed;
}

std::string WrapperPath() {
    return InstalledProgram("WRAPPER_EXE");
}

std::string ChildHelperPath() {
    return InstalledProgram("CHILD_HELPER_EXE");
}

bool LetEveryoneChange(const std::string& path) {
    PSECURITY_DESCRIPTOR everyone = nullptr;
    const bool set = ConvertStringSecurityDescriptorToSecurityDescriptorA(
                         "D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &everyone, nullptr) &&
                     SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, everyone);
    LocalFree(everyone);
    return set;
}

std::string FullPath(const std::string& path) {
    char full[MAX_PATH * 4] = {};
    DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return std::string(full, length);
}

std::string TempPath(const std::string& name) {
    char folder[MAX_PATH + 1] = {};
    GetTempPathA(sizeof(folder), folder);
    return FullPath(folder) + name;
}

TWrapperCopy::TWrapperCopy(const std::string& folder, const std::string& fileName)
    : Folder(TempPath(folder)) {
    CreateDirectoryA(Folder.c_str(), nullptr);
    Path = Folder + "\\" + fileName;
    Ok = CopyFileA(WrapperPath().c_str(), Path.c_str(), FALSE) != FALSE;
}

TWrapperCopy::~TWrapperCopy() {
    DeleteFileA(Path.c_str());
    RemoveDirectoryA(Folder.c_str());
}

namespace {

ULONGLONG CreationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    return (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

} // namespace

// A parent id outlives its process and ids are reused (services.exe's parent had the id of a
// later wrapper), so a child must be younger than its parent.
HANDLE OpenChildOf(HANDLE parent) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const DWORD parentId = GetProcessId(parent);
    const ULONGLONG parentCreated = CreationTime(parent);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    HANDLE child = nullptr;
    for (BOOL more = Process32First(snapshot, &entry); more && child == nullptr;
         more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID != parentId) {
            continue;
        }
        child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                            FALSE, entry.th32ProcessID);
        if (child != nullptr && CreationTime(child) < parentCreated) {
            CloseHandle(child);
            child = nullptr;
        }
    }
    CloseHandle(snapshot);
    return child;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

DWORD RunWrapper(const std::string& arguments, DWORD timeoutMs, const std::string& wrapperPath) {
    TProcess wrapper(Quoted(wrapperPath) + arguments);
    if (!wrapper.Started()) {
        ADD_FAILURE() << "cannot start " << wrapperPath << ": error " << GetLastError();
        return STILL_ACTIVE;
    }
    // A road that shows the usage box by mistake would wait in it until killed: fail at once.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const DWORD code = wrapper.WaitForExit(50);
        if (code != STILL_ACTIVE) {
            return code;
        }
        if (FindUsageBox(wrapper, 0) != nullptr) {
            ADD_FAILURE() << "the wrapper showed the usage box for" << arguments;
            return STILL_ACTIVE;
        }
        if (GetTickCount64() >= deadline) {
            ADD_FAILURE() << "the wrapper did not end within " << timeoutMs << " ms for"
                          << arguments;
            return STILL_ACTIVE;
        }
    }
}

TProcess::TProcess(const std::string& commandLine, DWORD creationFlags) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, creationFlags, nullptr,
                        nullptr, &startup, &Info)) {
        Info = PROCESS_INFORMATION{};
    }
}

TProcess::TProcess(DWORD processId) {
    if (processId != 0) {
        Info.hProcess = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION,
                                    FALSE, processId);
        Info.dwProcessId = Info.hProcess != nullptr ? processId : 0;
    }
}

TProcess::~TProcess() {
    // Exit code 0: a wrapper whose child this is then stops its service as after an ordinary
    // end, instead of ending with the code and leaving the service behind.
    if (Runs()) {
        TerminateProcess(Info.hProcess, 0);
        WaitForSingleObject(Info.hProcess, 5000);
    }
    if (Info.hThread != nullptr) {
        CloseHandle(Info.hThread);
    }
    if (Info.hProcess != nullptr) {
        CloseHandle(Info.hProcess);
    }
}

DWORD TProcess::WaitForExit(DWORD timeoutMs) const {
    if (WaitForSingleObject(Info.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(Info.hProcess, &code);
    return code;
}

namespace {

struct TBoxSearch {
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK MatchUsageBox(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<TBoxSearch*>(parameter);
    char caption[16] = {};
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->ProcessId && IsWindowVisible(window) &&
        GetWindowTextA(window, caption, sizeof(caption)) > 0 && std::string(caption) == "Help") {
        search->Found = window;
        return FALSE;
    }
    return TRUE;
}

} // namespace

HWND FindUsageBox(const TProcess& process, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        TBoxSearch search{process.Id(), nullptr};
        EnumWindows(MatchUsageBox, reinterpret_cast<LPARAM>(&search));
        if (search.Found != nullptr) {
            return search.Found;
        }
    } while (process.WaitForExit(20) == STILL_ACTIVE && GetTickCount64() < deadline);
    return nullptr;
}

std::string UsageBoxText(HWND box) {
    HWND label = GetDlgItem(box, 0xFFFF);
    std::vector<char> text(static_cast<size_t>(GetWindowTextLengthA(label)) + 1);
    int length = GetWindowTextA(label, text.data(), static_cast<int>(text.size()));
    return std::string(text.data(), static_cast<size_t>(length > 0 ? length : 0));
}

void PressOk(HWND box) {
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}
