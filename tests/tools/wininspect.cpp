// Test tool: finds a top-level window of any process in the prefix by its
// caption, lists it and its children, and presses one of its buttons.
//
//   wininspect answer CAPTION BUTTON_ID TIMEOUT_MS
//
// Prints one line per window, "class|id|text" (the top-level window first;
// carriage returns and line feeds written as \r and \n), then clicks the
// child with BUTTON_ID. Exit code 0 on success, 2 when no such window
// appears within TIMEOUT_MS, 1 on bad arguments.
#include <windows.h>

#include <string>

namespace {

void Write(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string utf8(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

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

void Describe(HWND window) {
    wchar_t className[256] = {};
    GetClassNameW(window, className, 256);
    Write(std::wstring(className) + L"|" + std::to_wstring(GetDlgCtrlID(window)) + L"|" + TextOf(window) + L"\n");
}

BOOL CALLBACK DescribeChild(HWND child, LPARAM) {
    Describe(child);
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5 || std::wstring(argv[1]) != L"answer") return 1;
    const wchar_t* caption = argv[2];
    int buttonId = _wtoi(argv[3]);
    DWORD timeout = static_cast<DWORD>(_wtoi(argv[4]));

    DWORD start = GetTickCount();
    HWND window = nullptr;
    while ((window = FindWindowW(nullptr, caption)) == nullptr) {
        if (GetTickCount() - start > timeout) return 2;
        Sleep(50);
    }
    Describe(window);
    EnumChildWindows(window, DescribeChild, 0);

    HWND button = GetDlgItem(window, buttonId);
    if (button == nullptr) return 2;
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    return 0;
}
