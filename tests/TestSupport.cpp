#include "TestSupport.h"

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

std::string WrapperPath() {
    return WindowsPath(EnvironmentValue("WRAPPER_EXE"));
}

std::string FullPath(const std::string& path) {
    char full[MAX_PATH * 4] = {};
    DWORD length = GetFullPathNameA(path.c_str(), sizeof(full), full, nullptr);
    return std::string(full, length);
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

DWORD RunWrapper(const std::string& arguments, DWORD timeoutMs, const std::string& wrapperPath) {
    TProcess wrapper(Quoted(wrapperPath) + arguments);
    return wrapper.Started() ? wrapper.WaitForExit(timeoutMs) : STILL_ACTIVE;
}

TProcess::TProcess(const std::string& commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &Info)) {
        Info = PROCESS_INFORMATION{};
    }
}

TProcess::~TProcess() {
    if (Info.hProcess != nullptr) {
        CloseHandle(Info.hThread);
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

HWND FindUsageBox(DWORD processId, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        TBoxSearch search{processId, nullptr};
        EnumWindows(MatchUsageBox, reinterpret_cast<LPARAM>(&search));
        if (search.Found != nullptr) {
            return search.Found;
        }
        Sleep(20);
    } while (GetTickCount64() < deadline);
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
