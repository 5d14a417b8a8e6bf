// The baseline of the download figure: a minimal WinINet loop with the same
// 512-byte reads as the installer, writing to a file. Prints "ms=<elapsed>"
// and "bytes=<count>".
//   minimal_download URL FILE
#include <windows.h>
#include <wininet.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    DWORD start = GetTickCount();
    HINTERNET session = InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    HINTERNET request = InternetOpenUrlW(session, argv[1], nullptr, 0, INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI, 0);
    HANDLE file = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    unsigned char buffer[512];
    DWORD read = 0;
    unsigned long long total = 0;
    while (request != nullptr && InternetReadFile(request, buffer, sizeof(buffer), &read) && read > 0) {
        DWORD written = 0;
        WriteFile(file, buffer, read, &written, nullptr);
        total += read;
    }
    CloseHandle(file);
    if (request) InternetCloseHandle(request);
    if (session) InternetCloseHandle(session);
    std::printf("ms=%lu\nbytes=%llu\n", GetTickCount() - start, total);
    return 0;
}
