/* Loaded into a program by the window inspector (wininspect fonts, icons) to
   read what only that program can. Each report runs as a thread of the
   program and writes UTF-8 lines to the file its parameter names:
   ReportFonts the font of each child of its visible window, one line per
   child, "id|text|face|height"; ReportIcons its small and big icon, "small
   WxH same|differs" and "big ...", as the icon is the program's own MAINICON
   image of that size or not. */
#include <windows.h>

#include <string.h>

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

/* An icon's pixels, 32-bit top-down rows, into a new buffer; NULL on failure. */
static DWORD* IconPixels(HICON icon, int* width, int* height) {
    ICONINFO info;
    BITMAP bitmap;
    BITMAPINFO format;
    DWORD* pixels;
    HDC dc;
    int read;
    *width = *height = 0;
    if (icon == NULL || !GetIconInfo(icon, &info)) return NULL;
    ZeroMemory(&bitmap, sizeof(bitmap));
    GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    *width = bitmap.bmWidth;
    *height = bitmap.bmHeight;
    pixels = (DWORD*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, (SIZE_T)(*width) * (*height) * 4 + 4);
    if (pixels == NULL) {
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        return NULL;
    }
    ZeroMemory(&format, sizeof(format));
    format.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    format.bmiHeader.biWidth = *width;
    format.bmiHeader.biHeight = -*height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    dc = GetDC(NULL);
    read = info.hbmColor != NULL && GetDIBits(dc, info.hbmColor, 0, (UINT)*height, pixels, &format, DIB_RGB_COLORS);
    ReleaseDC(NULL, dc);
    if (info.hbmColor != NULL) DeleteObject(info.hbmColor);
    if (info.hbmMask != NULL) DeleteObject(info.hbmMask);
    if (!read) {
        HeapFree(GetProcessHeap(), 0, pixels);
        return NULL;
    }
    return pixels;
}

static void ReportIcon(HANDLE file, const char* kind, HICON shown) {
    int width, height, expectedWidth, expectedHeight;
    DWORD* pixels = IconPixels(shown, &width, &height);
    HICON drawn = (HICON)LoadImageW(GetModuleHandleW(NULL), L"MAINICON", IMAGE_ICON, width, height, 0);
    DWORD* expected = IconPixels(drawn, &expectedWidth, &expectedHeight);
    BOOL same = pixels != NULL && expected != NULL && width == expectedWidth && height == expectedHeight &&
                memcmp(pixels, expected, (size_t)width * height * 4) == 0;
    char line[64];
    DWORD written;
    int size = wsprintfA(line, "%s %dx%d %s\n", kind, width, height, same ? "same" : "differs");
    WriteFile(file, line, (DWORD)size, &written, NULL);
    if (drawn != NULL) DestroyIcon(drawn);
    if (pixels != NULL) HeapFree(GetProcessHeap(), 0, pixels);
    if (expected != NULL) HeapFree(GetProcessHeap(), 0, expected);
}

__declspec(dllexport) DWORD WINAPI ReportIcons(LPVOID path) {
    HANDLE file = CreateFileW((const wchar_t*)path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    HICON small, big;
    if (file == INVALID_HANDLE_VALUE) return 1;
    topWindow = NULL;
    EnumWindows(FindTop, 0);
    if (topWindow != NULL) {
        /* What the caption shows: the window's own icon, else its class's. */
        small = (HICON)SendMessageW(topWindow, WM_GETICON, ICON_SMALL, 0);
        if (small == NULL) small = (HICON)GetClassLongPtrW(topWindow, GCLP_HICONSM);
        big = (HICON)SendMessageW(topWindow, WM_GETICON, ICON_BIG, 0);
        if (big == NULL) big = (HICON)GetClassLongPtrW(topWindow, GCLP_HICON);
        ReportIcon(file, "small", small);
        ReportIcon(file, "big", big);
    }
    CloseHandle(file);
    return topWindow != NULL ? 0 : 2;
}
