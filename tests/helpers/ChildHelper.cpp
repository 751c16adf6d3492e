// The program that the tests wrap. It writes down what it observes (its process id, program
// path, command line, current directory, environment marker and window state), then does
// what its arguments say:
//   ChildHelper.exe <report file> run                 runs until killed
// Every mode that runs until killed keeps a second thread as well, as real servers do: ending
// the primary thread alone does not end the process.
//   ChildHelper.exe <report file> exit <code> <ms>    exits with the code after the time
//   ChildHelper.exe <report file> grandchild          starts a copy of itself that runs
//                                                     until killed (report: <file>.grand)
//   ChildHelper.exe <report file> reset <value file>  waits for a handle value in the file
//                                                     and resets that event if it inherited it
#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

DWORD WINAPI RunForever(LPVOID) {
    Sleep(INFINITE);
    return 0;
}

std::string Field(const char* name, const std::string& value) {
    return std::string(name) + "=" + value + "\r\n";
}

// Written under another name and then renamed, so that a reader never sees half a report.
void WriteReport(const std::string& path) {
    char directory[MAX_PATH * 4] = {};
    GetCurrentDirectoryA(sizeof(directory), directory);
    char marker[256] = {};
    GetEnvironmentVariableA("VORNIC_TEST_MARKER", marker, sizeof(marker));
    STARTUPINFOA startup{};
    GetStartupInfoA(&startup);
    const bool hidden =
        (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 && startup.wShowWindow == SW_HIDE;
    char program[MAX_PATH * 4] = {};
    GetModuleFileNameA(nullptr, program, sizeof(program));
    const std::string report = Field("pid", std::to_string(GetCurrentProcessId())) +
                               Field("program", program) + Field("commandline", GetCommandLineA()) +
                               Field("directory", directory) + Field("marker", marker) +
                               Field("hidden", hidden ? "yes" : "no");
    const std::string partial = path + ".partial";
    HANDLE file = CreateFileA(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
    CloseHandle(file);
    MoveFileExA(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void StartGrandchild(const std::string& report) {
    char self[MAX_PATH * 4] = {};
    GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string line = "\"" + std::string(self) + "\" \"" + report + ".grand\" run";
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

// The test puts an inheritable event into the wrapper and then writes its handle value.
void ResetInheritedEvent(const std::string& valueFile) {
    for (int i = 0; i < 1000; ++i) {
        HANDLE file = CreateFileA(valueFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            char text[32] = {};
            DWORD read = 0;
            ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
            CloseHandle(file);
            ResetEvent(reinterpret_cast<HANDLE>(std::strtoull(text, nullptr, 10)));
            return;
        }
        Sleep(10);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (__argc < 3) {
        return 64;
    }
    const std::string report = __argv[1];
    const std::string mode = __argv[2];
    if (mode == "grandchild") {
        StartGrandchild(report);
    }
    if (mode == "reset" && __argc >= 4) {
        ResetInheritedEvent(__argv[3]);
    }
    WriteReport(report);
    if (mode == "exit" && __argc >= 5) {
        Sleep(static_cast<DWORD>(std::atoi(__argv[4])));
        return std::atoi(__argv[3]);
    }
    HANDLE second = CreateThread(nullptr, 0, RunForever, nullptr, 0, nullptr);
    if (second == nullptr) {
        return 65;
    }
    CloseHandle(second);
    Sleep(INFINITE);
    return 0;
}
