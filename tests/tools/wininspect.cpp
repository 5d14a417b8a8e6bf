// Test tool: finds windows of other processes in the prefix, lists them,
// and acts on them as a user or another program would.
//
//   wininspect answer CAPTION BUTTON_ID TIMEOUT_MS
//       waits for a top-level window with that caption, lists it and its
//       children, then presses the child button BUTTON_ID
//   wininspect list CLASS TIMEOUT_MS
//       waits for a visible top-level window of that class and lists it and
//       its children
//   wininspect command CLASS ID [CODE]   posts WM_COMMAND (ID, CODE) to it
//   wininspect syscommand CLASS SC       posts WM_SYSCOMMAND SC to it
//   wininspect close CLASS               posts WM_CLOSE to it, as another
//                                        program may
//   wininspect click CLASS ID            posts BM_CLICK to its child ID
//   wininspect press CLASS ID 1|0        sets or clears the pushed state of
//                                        its child button ID (BM_SETSTATE)
//   wininspect hover CLASS ID            moves the mouse pointer to the
//                                        middle of its child ID (0: to the
//                                        screen's top left corner)
//   wininspect foreground CLASS          exit code 0 when it is in front
//   wininspect lower CLASS               sends it to the back
//   wininspect workarea                  prints the work area: l,t,r,b
//   wininspect keyboardcues 0|1          sets the user's setting: focus cues
//                                        hidden until the keyboard is used
//                                        (0, Windows' default) or always shown
//   wininspect capture CLASS FILE        writes its client area, as drawn,
//                                        to FILE as a binary PPM (P6)
//   wininspect screen CLASS              lists it and its children with
//                                        their rectangles on the screen and
//                                        their extended styles
//                                        ("class|id|text|l,t,r,b|exstyle")
//   wininspect keys CLASS KEY...         brings it to the front and types
//                                        each KEY as a user would (SendInput):
//                                        tab, shift+tab, space, enter, esc,
//                                        alt+f4; hold-space and hold-enter
//                                        send six key-downs (auto-repeat),
//                                        then the key-up
//   wininspect icons CLASS               prints its small and big icon's size
//                                        and whether each is the program's
//                                        own MAINICON image of that size:
//                                        "small WxH same|differs", then big
//                                        (read inside its process)
//   wininspect focus CLASS               prints the control that has the
//                                        keyboard focus: "class|id|text"
//   wininspect uistate CLASS             prints its keyboard cue state
//                                        (WM_QUERYUISTATE)
//   wininspect accessible CLASS          prints, for it and each visible
//                                        child, what the accessibility layer
//                                        says: "id|name|role|state|value",
//                                        the role and state in hex, "-" for
//                                        what it does not tell
//   wininspect squat NAME open|deny SECONDS
//                                        creates the mutex NAME first, as
//                                        any program of the session can
//                                        ("deny": with a DACL that lets
//                                        nobody open it), prints "ready" and
//                                        holds it SECONDS
//   wininspect activate CLASS NAME COUNT as an unelevated program may: COUNT
//                                        times, minimizes it, posts the
//                                        registered message NAME to it and
//                                        looks for 300 ms whether it comes
//                                        back; prints "forward=N elapsed=MS"
//   wininspect fonts CLASS               prints each child's font:
//                                        "id|text|face|height" (through
//                                        font_reporter.dll in its process)
//
// CAPTION "class:NAME" names a window class instead (e.g. class:#32770, a
// message box).
// A listed window is one line: "class|id|text|left,top,right,bottom|style",
// the rectangle in the top-level window's client coordinates (its own
// window rectangle in screen coordinates for the first line), the style in
// hex; carriage returns and line feeds in the text written as \r and \n.
// Exit code 0 on success, 2 when the window is not found in time, 1 on
// bad arguments.
#include <windows.h>
#include <oleacc.h>
#include <tlhelp32.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/TestOutput.h"

namespace {

HWND topWindow = nullptr;

using testoutput::Write;

std::wstring TextOf(HWND window) {
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &length);
    std::wstring escaped;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c == L'\r') escaped += L"\\r";
        else if (*c == L'\n') escaped += L"\\n";
        else escaped += *c;
    }
    return escaped;
}

std::wstring Hex(DWORD value) {
    wchar_t text[16];
    wsprintfW(text, L"%08X", value);
    return text;
}

void Describe(HWND window) {
    wchar_t className[256] = {};
    GetClassNameW(window, className, 256);
    RECT rect;
    GetWindowRect(window, &rect);
    if (window != topWindow) MapWindowPoints(HWND_DESKTOP, topWindow, reinterpret_cast<POINT*>(&rect), 2);
    Write(std::wstring(className) + L"|" + std::to_wstring(GetDlgCtrlID(window)) + L"|" + TextOf(window) + L"|" +
          std::to_wstring(rect.left) + L"," + std::to_wstring(rect.top) + L"," + std::to_wstring(rect.right) + L"," +
          std::to_wstring(rect.bottom) + L"|" + Hex(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE))) + L"\n");
}

BOOL CALLBACK DescribeChild(HWND child, LPARAM) {
    Describe(child);
    return TRUE;
}

// "class|id|text|left,top,right,bottom|exstyle", the rectangle on the screen:
// in a mirrored window the controls' own coordinates read as the English
// window's, the screen shows them on the other side.
BOOL CALLBACK DescribeOnScreen(HWND window, LPARAM) {
    wchar_t className[256] = {};
    GetClassNameW(window, className, 256);
    RECT rect;
    GetWindowRect(window, &rect);
    Write(std::wstring(className) + L"|" + std::to_wstring(GetDlgCtrlID(window)) + L"|" + TextOf(window) + L"|" +
          std::to_wstring(rect.left) + L"," + std::to_wstring(rect.top) + L"," + std::to_wstring(rect.right) + L"," +
          std::to_wstring(rect.bottom) + L"|" + Hex(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE))) + L"\n");
    return TRUE;
}

void List(HWND window) {
    topWindow = window;
    Describe(window);
    EnumChildWindows(window, DescribeChild, 0);
}

HWND WaitFor(const wchar_t* className, const wchar_t* caption, DWORD timeout) {
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowW(className, caption);
        if (window != nullptr && (caption != nullptr || IsWindowVisible(window))) return window;
        if (GetTickCount() - start > timeout) return nullptr;
        Sleep(50);
    }
}

// The client area as the window shows it, read through its own DC.
bool Capture(HWND window, const wchar_t* path) {
    RECT client;
    GetClientRect(window, &client);
    int width = client.right, height = client.bottom;
    HDC source = GetDC(window);
    HDC memory = CreateCompatibleDC(source);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    bool copied = BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY) != FALSE;
    GdiFlush();
    std::string ppm = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    // A mirrored window's DC copies mirrored: its rows are turned back, so
    // that the picture is what the screen shows.
    const bool mirrored = (GetLayout(source) & LAYOUT_RTL) != 0;
    const BYTE* pixels = static_cast<const BYTE*>(bits);
    for (int y = 0; copied && y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const BYTE* pixel = pixels + 4 * (y * width + (mirrored ? width - 1 - x : x));
            ppm += static_cast<char>(pixel[2]);
            ppm += static_cast<char>(pixel[1]);
            ppm += static_cast<char>(pixel[0]);
        }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(window, source);
    if (!copied) return false;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, ppm.data(), static_cast<DWORD>(ppm.size()), &written, nullptr) && written == ppm.size();
    CloseHandle(file);
    return ok;
}

// Where a library is loaded in another process, from the process's module
// list: a thread's exit code holds only 32 bits, not a 64-bit address.
BYTE* RemoteModuleBase(DWORD processId, const std::wstring& path) {
    std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
    BYTE* base = nullptr;
    MODULEENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Module32FirstW(snapshot, &entry); more && base == nullptr; more = Module32NextW(snapshot, &entry))
        if (lstrcmpiW(entry.szModule, name.c_str()) == 0) base = entry.modBaseAddr;
    CloseHandle(snapshot);
    return base;
}

// Runs one of font_reporter.dll's reports (ReportFonts, ReportIcons) inside
// the window's process: a font or icon handle means nothing outside the
// process that made it. The library is
// loaded there by a thread of its own that calls LoadLibraryW (kernel32
// lies at the same address in every process of the prefix).
bool ReportInside(HWND window, const char* AReport) {
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring library(self, length);
    library = library.substr(0, library.find_last_of(L'\\') + 1) + L"font_reporter.dll";
    wchar_t folder[MAX_PATH], output[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"fnt", 0, output);

    HMODULE local = LoadLibraryW(library.c_str());
    auto report = local != nullptr ? reinterpret_cast<BYTE*>(GetProcAddress(local, AReport)) : nullptr;
    auto load = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId);
    if (report == nullptr || process == nullptr) return false;

    std::wstring strings = library + L'\0' + output + L'\0';
    auto remote = static_cast<wchar_t*>(
        VirtualAllocEx(process, nullptr, strings.size() * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE));
    bool done = remote != nullptr &&
                WriteProcessMemory(process, remote, strings.data(), strings.size() * sizeof(wchar_t), nullptr);
    auto run = [&](LPTHREAD_START_ROUTINE start, void* parameter) {
        DWORD result = 0xFFFFFFFF;
        HANDLE thread = CreateRemoteThread(process, nullptr, 0, start, parameter, 0, nullptr);
        if (thread == nullptr) return result;
        if (WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0) GetExitCodeThread(thread, &result);
        CloseHandle(thread);
        return result;
    };
    if (done) run(load, remote);
    BYTE* base = done ? RemoteModuleBase(processId, library) : nullptr;
    done = base != nullptr &&
           run(reinterpret_cast<LPTHREAD_START_ROUTINE>(
                   reinterpret_cast<void*>(base + (report - reinterpret_cast<BYTE*>(local)))),
               remote + library.size() + 1) == 0;
    if (remote != nullptr) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    FreeLibrary(local);

    HANDLE file = CreateFileW(output, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, read, &read, nullptr);
        CloseHandle(file);
    }
    DeleteFileW(output);
    return done;
}

// Types the keys into the window, which is brought to the front first: the
// input goes to whatever has the focus, as a user's would.
bool Keys(HWND window, int count, wchar_t** names) {
    SetForegroundWindow(window);
    for (int i = 0; i < 20 && GetForegroundWindow() != window; ++i) Sleep(50);
    for (int i = 0; i < count; ++i) {
        std::wstring name = names[i];
        WORD modifier = 0, key = 0;
        if (name == L"tab") key = VK_TAB;
        else if (name == L"shift+tab") modifier = VK_SHIFT, key = VK_TAB;
        else if (name == L"space") key = VK_SPACE;
        else if (name == L"enter") key = VK_RETURN;
        else if (name == L"esc") key = VK_ESCAPE;
        else if (name == L"alt+f4") modifier = VK_MENU, key = VK_F4;
        else if (name == L"hold-space" || name == L"hold-enter") {
            // Held down: six key-downs, as the keyboard's auto-repeat sends
            // them, then one key-up.
            INPUT held = {};
            held.type = INPUT_KEYBOARD;
            held.ki.wVk = name == L"hold-space" ? VK_SPACE : VK_RETURN;
            held.ki.wScan = static_cast<WORD>(MapVirtualKeyW(held.ki.wVk, 0));
            for (int repeat = 0; repeat < 6; ++repeat, Sleep(40))
                if (SendInput(1, &held, sizeof(INPUT)) != 1) return false;
            held.ki.dwFlags = KEYEVENTF_KEYUP;
            if (SendInput(1, &held, sizeof(INPUT)) != 1) return false;
            Sleep(150);
            continue;
        } else return false;
        INPUT input[4] = {};
        int n = 0;
        auto add = [&](WORD vk, bool up) {
            input[n].type = INPUT_KEYBOARD;
            input[n].ki.wVk = vk;
            input[n].ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, 0));
            input[n].ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
            ++n;
        };
        if (modifier) add(modifier, false);
        add(key, false);
        add(key, true);
        if (modifier) add(modifier, true);
        if (SendInput(n, input, sizeof(INPUT)) != static_cast<UINT>(n)) return false;
        Sleep(150);
    }
    return true;
}

bool Focus(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return false;
    HWND focus = info.hwndFocus;
    wchar_t className[256] = {};
    if (focus != nullptr) GetClassNameW(focus, className, 256);
    Write(std::wstring(className) + L"|" + std::to_wstring(focus != nullptr ? GetDlgCtrlID(focus) : 0) + L"|" +
          (focus != nullptr ? TextOf(focus) : L"") + L"\n");
    return true;
}

std::wstring Escaped(const std::wstring& text) {
    std::wstring escaped;
    for (wchar_t c : text) {
        if (c == L'\r') escaped += L"\\r";
        else if (c == L'\n') escaped += L"\\n";
        else escaped += c;
    }
    return escaped;
}

// What the accessibility layer (oleacc, the system's proxies or the
// control's own object) says of one window's client object.
void DescribeAccessible(HWND window) {
    static constexpr IID AccessibleInterface = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
    IAccessible* object = nullptr;
    HRESULT found = AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), AccessibleInterface,
                                               reinterpret_cast<void**>(&object));
    if (FAILED(found) || object == nullptr) {
        Write(std::to_wstring(window == topWindow ? 0 : GetDlgCtrlID(window)) + L"|error " + Hex(found) + L"\n");
        return;
    }
    VARIANT self;
    VariantInit(&self);
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    std::wstring name = L"-", value = L"-", role = L"-", state = L"-";
    BSTR text = nullptr;
    if (object->get_accName(self, &text) == S_OK && text != nullptr) name = Escaped(text);
    SysFreeString(text);
    text = nullptr;
    if (object->get_accValue(self, &text) == S_OK && text != nullptr) value = Escaped(text);
    SysFreeString(text);
    VARIANT result;
    VariantInit(&result);
    if (object->get_accRole(self, &result) == S_OK && result.vt == VT_I4) role = Hex(static_cast<DWORD>(result.lVal));
    VariantClear(&result);
    if (object->get_accState(self, &result) == S_OK && result.vt == VT_I4)
        state = Hex(static_cast<DWORD>(result.lVal));
    VariantClear(&result);
    object->Release();
    Write(std::to_wstring(window == topWindow ? 0 : GetDlgCtrlID(window)) + L"|" + name + L"|" + role + L"|" + state +
          L"|" + value + L"\n");
}

BOOL CALLBACK DescribeAccessibleChild(HWND child, LPARAM) {
    if (IsWindowVisible(child)) DescribeAccessible(child);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 1;
    std::wstring verb = argv[1];
    if (verb == L"workarea") {
        RECT work;
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        Write(std::to_wstring(work.left) + L"," + std::to_wstring(work.top) + L"," + std::to_wstring(work.right) +
              L"," + std::to_wstring(work.bottom) + L"\n");
        return 0;
    }
    if (argc < 3) return 1;
    if (verb == L"keyboardcues") {
        BOOL shown = _wtoi(argv[2]) != 0;
        return SystemParametersInfoW(SPI_SETKEYBOARDCUES, 0, reinterpret_cast<void*>(static_cast<INT_PTR>(shown)),
                                     SPIF_UPDATEINIFILE | SPIF_SENDCHANGE)
                   ? 0
                   : 3;
    }
    if (verb == L"squat" && argc == 5) {
        SECURITY_ATTRIBUTES denyAll = {sizeof(denyAll), nullptr, FALSE};
        SECURITY_DESCRIPTOR descriptor;
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        ACL empty;  // a DACL present and empty grants nobody anything
        InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
        SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
        denyAll.lpSecurityDescriptor = &descriptor;
        HANDLE mutex = CreateMutexW(std::wstring(argv[3]) == L"deny" ? &denyAll : nullptr, TRUE, argv[2]);
        if (mutex == nullptr) return 3;
        Write(L"ready\n");
        Sleep(static_cast<DWORD>(_wtoi(argv[4])) * 1000);
        CloseHandle(mutex);
        return 0;
    }
    if (verb == L"answer" && argc == 5) {
        std::wstring caption = argv[2];
        bool byClass = caption.rfind(L"class:", 0) == 0;
        HWND window = byClass ? WaitFor(caption.c_str() + 6, nullptr, static_cast<DWORD>(_wtoi(argv[4])))
                              : WaitFor(nullptr, argv[2], static_cast<DWORD>(_wtoi(argv[4])));
        if (window == nullptr) return 2;
        List(window);
        int buttonId = _wtoi(argv[3]);
        HWND button = GetDlgItem(window, buttonId);
        if (button == nullptr) return 2;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        return 0;
    }
    if (verb == L"list" && argc == 4) {
        HWND window = WaitFor(argv[2], nullptr, static_cast<DWORD>(_wtoi(argv[3])));
        if (window == nullptr) return 2;
        List(window);
        return 0;
    }

    HWND window = FindWindowW(argv[2], nullptr);
    if (window == nullptr) return 2;
    if (verb == L"command" && argc >= 4) {
        WORD code = argc >= 5 ? static_cast<WORD>(_wtoi(argv[4])) : 0;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(_wtoi(argv[3]), code), 0);
        return 0;
    }
    if (verb == L"syscommand" && argc == 4) {
        PostMessageW(window, WM_SYSCOMMAND, static_cast<WPARAM>(_wtoi(argv[3])), 0);
        return 0;
    }
    if (verb == L"icons" && argc == 3) return ReportInside(window, "ReportIcons") ? 0 : 3;
    if (verb == L"keys" && argc >= 4) return Keys(window, argc - 3, argv + 3) ? 0 : 3;
    if (verb == L"focus" && argc == 3) return Focus(window) ? 0 : 3;
    if (verb == L"uistate" && argc == 3) {
        Write(std::to_wstring(SendMessageW(window, WM_QUERYUISTATE, 0, 0)) + L"\n");
        return 0;
    }
    if (verb == L"accessible" && argc == 3) {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        topWindow = window;
        DescribeAccessible(window);
        EnumChildWindows(window, DescribeAccessibleChild, 0);
        CoUninitialize();
        return 0;
    }
    if (verb == L"capture" && argc == 4) return Capture(window, argv[3]) ? 0 : 3;
    if (verb == L"screen" && argc == 3) {
        DescribeOnScreen(window, 0);
        EnumChildWindows(window, DescribeOnScreen, 0);
        return 0;
    }
    if (verb == L"fonts" && argc == 3) return ReportInside(window, "ReportFonts") ? 0 : 3;
    if (verb == L"close" && argc == 3) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    }
    if (verb == L"click" && argc == 4) {
        HWND child = GetDlgItem(window, _wtoi(argv[3]));
        if (child == nullptr) return 2;
        PostMessageW(child, BM_CLICK, 0, 0);
        return 0;
    }
    if (verb == L"press" && argc == 5) {
        HWND child = GetDlgItem(window, _wtoi(argv[3]));
        if (child == nullptr) return 2;
        SendMessageW(child, BM_SETSTATE, _wtoi(argv[4]) != 0, 0);
        return 0;
    }
    if (verb == L"hover" && argc == 4) {
        POINT point = {0, 0};
        if (_wtoi(argv[3]) != 0) {
            HWND child = GetDlgItem(window, _wtoi(argv[3]));
            if (child == nullptr) return 2;
            RECT rect;
            GetWindowRect(child, &rect);
            point = {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
        }
        return SetCursorPos(point.x, point.y) ? 0 : 3;
    }
    if (verb == L"activate" && argc == 5) {
        UINT message = RegisterWindowMessageW(argv[3]);
        int forward = 0;
        DWORD start = GetTickCount();
        for (int i = 0; i < _wtoi(argv[4]); ++i) {
            DWORD_PTR ignored = 0;
            SendMessageTimeoutW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
            if (!IsIconic(window)) return 3;
            PostMessageW(window, message, 0, 0);
            for (DWORD begun = GetTickCount(); GetTickCount() - begun < 300; Sleep(10)) {
                if (!IsIconic(window)) {
                    ++forward;
                    break;
                }
            }
        }
        Write(L"forward=" + std::to_wstring(forward) + L" elapsed=" + std::to_wstring(GetTickCount() - start) + L"\n");
        return 0;
    }
    if (verb == L"foreground") return GetForegroundWindow() == window ? 0 : 3;
    if (verb == L"lower") {
        SetWindowPos(window, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        return 0;
    }
    return 1;
}
