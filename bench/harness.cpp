// Starts a window program under measurement and reports one figure.
//   harness startup EXE CLASS [ARGS]       ms from process start to its visible window
//   harness memory EXE CLASS TIMEOUT [ARGS] peak working set (bytes) until exit or TIMEOUT ms
//   harness cpu EXE CLASS AFTER SPAN [ARGS] CPU ms used over SPAN ms, AFTER ms after the window shows
//   harness close EXE CLASS [ARGS]          ms from a close request to process exit
// Prints "value=<figure>". The program is ended afterwards if it still runs.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

struct Started {
    PROCESS_INFORMATION Info = {};
    LARGE_INTEGER Start = {};
};

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool Start(const wchar_t* exe, int argc, wchar_t** argv, int first, Started& started) {
    std::wstring line = std::wstring(L"\"") + exe + L"\"";
    for (int i = first; i < argc; ++i) line += std::wstring(L" ") + argv[i];
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    QueryPerformanceCounter(&started.Start);
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started.Info);
}

HWND WaitForWindow(const wchar_t* className, DWORD timeout) {
    DWORD begin = GetTickCount();
    for (;;) {
        HWND window = FindWindowW(className, nullptr);
        if (window != nullptr && IsWindowVisible(window)) return window;
        if (GetTickCount() - begin > timeout) return nullptr;
        Sleep(1);
    }
}

double CpuMilliseconds(HANDLE process) {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    auto ticks = [](FILETIME t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}

void End(Started& started) {
    if (WaitForSingleObject(started.Info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(started.Info.hProcess, 0);
    WaitForSingleObject(started.Info.hProcess, 10000);
    CloseHandle(started.Info.hThread);
    CloseHandle(started.Info.hProcess);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    std::wstring verb = argv[1];
    const wchar_t* exe = argv[2];
    const wchar_t* className = argv[3];
    int first = verb == L"memory" ? 5 : verb == L"cpu" ? 6 : 4;
    Started started;
    if (argc < first || !Start(exe, argc, argv, first, started)) return 1;
    HWND window = WaitForWindow(className, 60000);
    LARGE_INTEGER shown;
    QueryPerformanceCounter(&shown);
    if (window == nullptr) {
        End(started);
        return 3;
    }
    double value = 0;
    if (verb == L"startup") {
        value = Milliseconds(started.Start, shown);
    } else if (verb == L"memory") {
        DWORD timeout = static_cast<DWORD>(_wtoi(argv[4]));
        DWORD begin = GetTickCount();
        PROCESS_MEMORY_COUNTERS counters = {};
        while (WaitForSingleObject(started.Info.hProcess, 20) == WAIT_TIMEOUT && GetTickCount() - begin < timeout) {
            counters.cb = sizeof(counters);
            if (GetProcessMemoryInfo(started.Info.hProcess, &counters, sizeof(counters)) &&
                counters.PeakWorkingSetSize > value)
                value = static_cast<double>(counters.PeakWorkingSetSize);
        }
    } else if (verb == L"cpu") {
        Sleep(static_cast<DWORD>(_wtoi(argv[4])));
        double before = CpuMilliseconds(started.Info.hProcess);
        Sleep(static_cast<DWORD>(_wtoi(argv[5])));
        value = CpuMilliseconds(started.Info.hProcess) - before;
    } else if (verb == L"close") {
        Sleep(500);
        LARGE_INTEGER asked, ended;
        QueryPerformanceCounter(&asked);
        PostMessageW(window, WM_CLOSE, 0, 0);
        WaitForSingleObject(started.Info.hProcess, 60000);
        QueryPerformanceCounter(&ended);
        value = Milliseconds(asked, ended);
    }
    End(started);
    std::printf("value=%.1f\n", value);
    return 0;
}
