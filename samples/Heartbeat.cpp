// A sample program to wrap as a service: appends a line to a file every second.
//   Heartbeat.exe <log file>
#include <windows.h>

#include <string>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    const std::string path = __argc >= 2 ? __argv[1] : "heartbeat.log";
    for (unsigned beat = 1;; ++beat) {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        char line[128] = {};
        const int length =
            wsprintfA(line, "heartbeat %u at %02u:%02u:%02u from process %lu\r\n", beat, now.wHour,
                      now.wMinute, now.wSecond, GetCurrentProcessId());
        HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
        CloseHandle(file);
        Sleep(1000);
    }
}
