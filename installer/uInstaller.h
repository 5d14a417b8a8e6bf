// Installer: the installation on a worker thread of its own: up to five
// attempts, each downloading the setup program, checking its signature,
// running it silently and asking whether the product is now installed.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/ProtectedFolder.h"
#include "platform/Unique.h"
#include "platform/WinInet.h"

enum TInstallerState : LONG {
    Idle = 0,
    Working = 1,
    Stopping = 2,
    Stopped = 3,
    Installing = 4,
    Installed = 5,
};

// A method pointer: the handler and the object it belongs to. Set when the
// code part is not null.
struct TProgressHandler {
    void* Object = nullptr;
    void (*Code)(void* AObject, std::uint8_t APercent) = nullptr;
};

class Installer {
public:
    Installer() = delete;

    // Changed only by interlocked operations; read by plain loads.
    static inline std::atomic<LONG> State{Idle};
    static inline TProgressHandler OnProgress;
    // Set by a worker that ends without success, before it sets Stopped and
    // sends its failure notice and close request: no worker starts after
    // that, since the close that follows would stop it and the exit would
    // wait for it instead of for the worker still sending its notices.
    static inline std::atomic<bool> Ending{false};

    // Starts a worker unless one is running (State not Idle or Stopped) or
    // the run is ending.
    static bool Start();
    // A worker that is stopping ends within a moment (each network wait
    // sees the stop within 50 ms, the wait between attempts within 100 ms):
    // waits for it, without handling window messages. A stopping worker
    // sends none.
    static void WaitWhileStopping();
    // Asks a downloading or waiting worker to stop; ignored while the setup
    // program runs.
    static void Stop();
    // Stops a downloading worker and waits for it; returns at once while the
    // setup program runs or when no worker is active.
    static void Done();
    // Once the window is gone: lets a worker that is on its way out (Stopped
    // or Installed) finish its own exit before the process ends, for at most
    // ExitWaitMilliseconds. Notices it still sends
    // meanwhile are handled; they reach no window.
    // At start-up: removes the run folders that a killed installer left
    // behind (only its own, and none that a live one holds).
    static void RemoveAbandonedRunFolders();
    static void WaitForWorkerExit();
    static constexpr DWORD ExitWaitMilliseconds = 5000;
    // Just before the process ends: waits for a launch of the setup program
    // in progress to finish (resumed, or ended and released) and lets no
    // other start. Ending the process between the suspended start and the
    // resume would leave the setup program suspended for ever, holding its
    // run folder. The launch is local work: a moment.
    static void EndLaunches();
    // 0: no launch; 1: a launch in progress; 2: the process is ending.
    static inline std::atomic<LONG> LaunchGate{0};

    // Brings the setup program into Globals::SetupFileName, continuing a
    // partial file. True when the file is complete.
    static bool Download();

    // Opens AFileName (the copy that is checked and run) so that nobody can
    // change, replace or delete it while it is held.
    static platform::UniqueFile LockSetupFile(const std::wstring& AFileName);

    // The file the download appends to: Globals::SetupFileName, or, once a
    // folder or a file that is not plainly ours was found under that name, a
    // fresh name of this process's own in the same folder; or, once the
    // download folder's own name was found taken (a file, a link, a folder
    // someone else made), the same file name in DownloadFolder. Empty until
    // the first download, and again after each attempt that is not stopped.
    static std::wstring DownloadFileName;
    // The download's folder of its own, new, held while this process lives:
    // used only where the fixed folder's name is someone else's. A partial
    // file in it is resumed within this run only; the folder goes after the
    // next attempt that is not stopped, or at a later start when this
    // process ended first.
    static platform::TProtectedFolder DownloadFolder;
    // Set when no folder can be protected on this machine (see
    // platform::CanProtectFolders): the worker ends at the first attempt and
    // tells the user why.
    static inline bool Unprotectable = false;
    // Prefix of the protected folder under %ProgramData% that each run of the
    // setup program gets.
    static constexpr const wchar_t* RunFolderPrefix = L"QuelloxSetup-";
    // The setup program's TEMP under %ProgramData%, kept across runs; the
    // prefix of a new one when someone else has the name.
    static constexpr const wchar_t* TempFolderName = L"QuelloxSetup-Temp";
    static constexpr const wchar_t* TempFolderPrefix = L"QuelloxSetup-Temp-";

    static platform::UniqueHandle ThreadHandle;
    static inline DWORD ThreadID = 0;
    // Duration of the last successful download, whole seconds.
    static inline std::int32_t DownloadSeconds = 0;

    // The download's bound on each wait: the request up to the answer's
    // headers (name resolution, connection, TLS, sending), and each wait for
    // more of the body, ends within it; so does each socket call inside
    // WinINet (its connect, send and receive time-outs). A server that stops
    // sending, or sends too slowly to finish a header or a chunk, ends the
    // attempt instead of holding the worker. A stop ends any wait within
    // platform::TimedRequest::StopPollMilliseconds.
    static constexpr DWORD TransferTimeout = 30000;
    static inline DWORD TransferTimeoutMilliseconds = TransferTimeout;

    static constexpr int AttemptCount = 5;
    static constexpr DWORD RetryWait = 60000;  // ms between attempts
    // The wait the worker uses; tests shorten it, the program never does.
    static inline DWORD RetryWaitMilliseconds = RetryWait;

    // The download's state, kept between its steps; nothing stays open
    // between calls of Download.
    static platform::TimedRequest Transfer;
    static platform::UniqueFile FileHandle;
    static inline std::uint32_t BytesDone = 0;
    // Bytes of the answer that have arrived and are not read yet, as the
    // last InternetQueryDataAvailable counted them.
    static inline DWORD BytesAvailable = 0;
    static inline std::uint32_t TotalSize = 0;
    static inline std::uint8_t Percent = 0;
    // The highest percentage reported in the process's life.
    static inline std::uint8_t LastPercent = 0;

private:
    static DWORD WINAPI WorkerThread(LPVOID);
    static bool RunAttempt();
    static void WaitBeforeRetry();
    // The setup program's TEMP, made or adopted (see the .cpp); empty when
    // there is none to be had.
    static std::wstring SetupTempFolder();
    static bool RunSetup(const std::wstring& ARunFile, const platform::TProtectedFolder& ARunFolder,
                         platform::UniqueFile ACheckedFile);
    static bool CopySetupFile(const std::wstring& ACopyName);
    static void DeleteSetupFile();
    static bool UseOwnDownloadName();
    static bool UseDownloadFolder();
    static bool OpenDownloadFile(DWORD ADisposition, std::uint64_t& ASize);
    static void TellUnprotectable();
    static void EndWorker();

    static bool OpenSetupFile();
    static bool OpenRequest();
    static bool ReadChunk();
    static void CloseRequest();
    static void CloseSetupFile();
};
