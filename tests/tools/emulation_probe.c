/* The calls of the installer's download, and nothing of the installer: two
   threads each fetch a file over asynchronous WinINet with a status callback
   (as the download and the analytics sender do), while the main thread
   creates and removes folders under TEMP. Prints what failed and returns the
   number of failures. Shows whether a fault seen in the 32-bit installer
   under emulation is the program's or the emulator's.
     emulation_probe URL [ROUNDS [fetch|folders]]   (default: both) */
#include <windows.h>
#include <wininet.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const wchar_t* url;
static int rounds = 5;
static volatile LONG failures;

typedef struct {
    HANDLE Done;
    DWORD_PTR Result;
} Completion;

static void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    (void)handle;
    (void)length;
    if (status != INTERNET_STATUS_REQUEST_COMPLETE || context == 0 || info == NULL) return;
    ((Completion*)context)->Result = ((INTERNET_ASYNC_RESULT*)info)->dwResult;
    SetEvent(((Completion*)context)->Done);
}

/* Whether a call that may complete later did complete, and well. */
static int Completed(Completion* completion, BOOL at_once) {
    if (at_once) return 1;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    return WaitForSingleObject(completion->Done, 30000) == WAIT_OBJECT_0 && completion->Result != 0;
}

static int FetchOnce(void) {
    BYTE buffer[65536];
    Completion completion = {CreateEventW(NULL, FALSE, FALSE, NULL), 0};
    HINTERNET session = InternetOpenW(NULL, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, INTERNET_FLAG_ASYNC);
    HINTERNET request = NULL;
    DWORD read = 0, total = 0;
    int ok = session != NULL && InternetSetStatusCallbackW(session, OnStatus) != INTERNET_INVALID_STATUS_CALLBACK;
    if (ok) {
        request = InternetOpenUrlW(session, url, NULL, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE,
                                   (DWORD_PTR)&completion);
        ok = Completed(&completion, request != NULL);
        if (ok && request == NULL) request = (HINTERNET)completion.Result;
    }
    while (ok && request != NULL) {
        read = 0;
        ok = Completed(&completion, InternetReadFile(request, buffer, sizeof(buffer), &read));
        if (!ok || read == 0) break;
        total += read;
    }
    if (request) InternetCloseHandle(request);
    if (session) InternetCloseHandle(session);
    CloseHandle(completion.Done);
    return ok && total > 0;
}

static DWORD WINAPI Fetcher(LPVOID parameter) {
    int i;
    (void)parameter;
    for (i = 0; i < rounds; ++i)
        if (!FetchOnce()) {
            InterlockedIncrement(&failures);
            printf("thread %lu: fetch %d failed (error %lu)\n", GetCurrentThreadId(), i, GetLastError());
        }
    return 0;
}

static DWORD WINAPI Idle(LPVOID parameter) {
    (void)parameter;
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    HANDLE threads[2];
    wchar_t temp[MAX_PATH], folder[MAX_PATH];
    int i, fetch, folders;
    if (argc < 2) return 100;
    url = argv[1];
    if (argc > 2) rounds = _wtoi(argv[2]);
    fetch = argc <= 3 || wcscmp(argv[3], L"folders") != 0;
    folders = argc <= 3 || wcscmp(argv[3], L"fetch") != 0;
    GetTempPathW(MAX_PATH, temp);
    for (i = 0; i < 2; ++i) threads[i] = CreateThread(NULL, 0, fetch ? Fetcher : Idle, NULL, 0, NULL);
    for (i = 0; folders && i < rounds * 20; ++i) {
        swprintf(folder, MAX_PATH, L"%lsemulation-probe-%lu-%d", temp, GetCurrentProcessId(), i);
        if (!CreateDirectoryW(folder, NULL) || !RemoveDirectoryW(folder)) {
            InterlockedIncrement(&failures);
            printf("folder %d failed (error %lu)\n", i, GetLastError());
        }
    }
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (i = 0; i < 2; ++i) CloseHandle(threads[i]);
    printf("failures=%ld\n", failures);
    return (int)failures;
}
