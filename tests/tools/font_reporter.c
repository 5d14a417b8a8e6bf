/* Loaded into a program by the window inspector (wininspect fonts) to read
   what only that program can: the font of each child of its visible window.
   ReportFonts runs as a thread of the program; it writes one line per child,
   "id|text|face|height", in UTF-8, to the file its parameter names. */
#include <windows.h>

static HWND topWindow;

static BOOL CALLBACK FindTop(HWND window, LPARAM unused) {
    DWORD process = 0;
    (void)unused;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
    topWindow = window;
    return FALSE;
}

static BOOL CALLBACK Describe(HWND child, LPARAM file) {
    wchar_t line[1024], text[512] = L"";
    LOGFONTW font;
    HFONT handle = (HFONT)SendMessageW(child, WM_GETFONT, 0, 0);
    BOOL known = handle != NULL && GetObjectW(handle, sizeof(font), &font) != 0;
    char utf8[4096];
    int size;
    DWORD written;
    GetWindowTextW(child, text, 512);
    wsprintfW(line, L"%d|%s|%s|", GetDlgCtrlID(child), text, known ? font.lfFaceName : L"");
    if (known) wsprintfW(line + lstrlenW(line), L"%ld", font.lfHeight);
    lstrcatW(line, L"\n");
    size = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof(utf8), NULL, NULL);
    if (size > 1) WriteFile((HANDLE)file, utf8, (DWORD)(size - 1), &written, NULL);
    return TRUE;
}

__declspec(dllexport) DWORD WINAPI ReportFonts(LPVOID path) {
    HANDLE file = CreateFileW((const wchar_t*)path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    topWindow = NULL;
    EnumWindows(FindTop, 0);
    if (topWindow != NULL) EnumChildWindows(topWindow, Describe, (LPARAM)file);
    CloseHandle(file);
    return topWindow != NULL ? 0 : 2;
}
