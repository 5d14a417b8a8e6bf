// Starts a window program under measurement and reports one figure.
//   harness startup EXE CLASS [ARGS]       ms from process start to its visible window
//   harness memory EXE CLASS TIMEOUT [ARGS] peak working set (bytes) until exit or TIMEOUT ms
//   harness cpu EXE CLASS AFTER SPAN [ARGS] CPU ms used over SPAN ms, AFTER ms after the window shows
//   harness close EXE CLASS [ARGS]          ms from a close request to process exit
//   harness calls EXE [ARGS]                the program's calls of WinINet's
//       InternetReadFile and InternetQueryDataAvailable, counted as its
//       debugger with a breakpoint on each; prints "reads=" and "counts="
//       lines, and their sum as the figure
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

// A breakpoint on a function's first byte, counting the calls.
struct Breakpoint {
    const char* Name;
    DWORD Offset = 0;  // from the library's base
    BYTE* Address = nullptr;
    BYTE Original = 0;
    unsigned Calls = 0;
};

void Arm(HANDLE process, Breakpoint& point) {
    const BYTE trap = 0xCC;
    WriteProcessMemory(process, point.Address, &trap, 1, nullptr);
    FlushInstructionCache(process, point.Address, 1);
}

// The one place where the two builds differ: a 32-bit thread context names
// its instruction pointer Eip, a 64-bit one Rip.
void SetInstructionPointer(CONTEXT& context, void* address) {
#ifdef _WIN64
    context.Rip = reinterpret_cast<DWORD64>(address);
#else
    context.Eip = reinterpret_cast<DWORD>(address);
#endif
}

int CountCalls(int argc, wchar_t** argv) {
    Breakpoint points[] = {{"InternetReadFile"}, {"InternetQueryDataAvailable"}};
    HMODULE own = LoadLibraryW(L"wininet.dll");
    if (own == nullptr) return 1;
    for (Breakpoint& point : points)
        point.Offset = static_cast<DWORD>(reinterpret_cast<BYTE*>(GetProcAddress(own, point.Name)) -
                                          reinterpret_cast<BYTE*>(own));

    std::wstring line = std::wstring(L"\"") + argv[2] + L"\"";
    for (int i = 3; i < argc; ++i) line += std::wstring(L" ") + argv[i];
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr,
                        &startup, &info))
        return 1;
    Breakpoint* stepping = nullptr;  // to be armed again after one step
    for (;;) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 120000)) break;
        DWORD status = DBG_CONTINUE;
        if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            wchar_t path[MAX_PATH] = {};
            DWORD length = GetFinalPathNameByHandleW(event.u.LoadDll.hFile, path, MAX_PATH, 0);
            std::wstring name(path, length < MAX_PATH ? length : 0);
            if (name.size() >= 11 && lstrcmpiW(name.c_str() + name.size() - 11, L"wininet.dll") == 0) {
                for (Breakpoint& point : points) {
                    point.Address = static_cast<BYTE*>(event.u.LoadDll.lpBaseOfDll) + point.Offset;
                    ReadProcessMemory(info.hProcess, point.Address, &point.Original, 1, nullptr);
                    Arm(info.hProcess, point);
                }
            }
            if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        } else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
        } else if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
            Breakpoint* hit = nullptr;
            for (Breakpoint& point : points)
                if (point.Address != nullptr && record.ExceptionAddress == point.Address) hit = &point;
            if (record.ExceptionCode == EXCEPTION_BREAKPOINT && hit != nullptr) {
                // Put the first byte back, run it alone, then arm again.
                ++hit->Calls;
                WriteProcessMemory(info.hProcess, hit->Address, &hit->Original, 1, nullptr);
                FlushInstructionCache(info.hProcess, hit->Address, 1);
                HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
                CONTEXT context = {};
                context.ContextFlags = CONTEXT_CONTROL;
                GetThreadContext(thread, &context);
                SetInstructionPointer(context, hit->Address);
                context.EFlags |= 0x100;  // trap after one instruction
                SetThreadContext(thread, &context);
                CloseHandle(thread);
                stepping = hit;
            } else if (record.ExceptionCode == EXCEPTION_SINGLE_STEP && stepping != nullptr) {
                Arm(info.hProcess, *stepping);
                stepping = nullptr;
            } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    std::printf("reads=%u\ncounts=%u\nvalue=%u\n", points[0].Calls, points[1].Calls, points[0].Calls + points[1].Calls);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 3 && std::wstring(argv[1]) == L"calls") return CountCalls(argc, argv);
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
