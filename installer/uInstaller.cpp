// Installer: the worker thread, its attempts and the silent run of the
// setup program. The download itself is in uDownload.cpp.
//
// State changes by compare-and-exchange wherever another thread may change
// it at the same moment: the worker moves Working -> Installing only if no
// stop came first, and a stop is only ever made from Working, so no stop
// request is lost and Done never waits for a running setup program.
#include "installer/uInstaller.h"

#include <objbase.h>

#include <vector>

#include "installer/uFileTrust.h"
#include "installer/uRounding.h"
#include "installer/uSetupCommandLine.h"
#include "platform/AdminNamespace.h"
#include "platform/PlainFile.h"
#include "platform/ProcessLaunch.h"
#include "platform/ProtectedFolder.h"
#include "platform/Strings.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"

// The state that needs clean-up, defined in this unit only: an inline
// definition in the header gives every unit that includes it its own copy
// of the start-up and clean-up code.
std::wstring Installer::DownloadFileName;
platform::UniqueHandle Installer::ThreadHandle;
platform::TimedRequest Installer::Transfer{[] { return State.load() == Stopping; }};
platform::UniqueFile Installer::FileHandle;
platform::TProtectedFolder Installer::DownloadFolder;

namespace {

// FOLDERID_RoamingAppData and FOLDERID_LocalAppData.
constexpr GUID RoamingAppDataFolderId = {0x3EB685DB, 0x65F9, 0x4CF6, {0xA0, 0x3A, 0xE3, 0xEF, 0x65, 0x72, 0x9F, 0x3D}};
constexpr GUID LocalAppDataFolderId = {0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

bool Exchange(LONG from, LONG to) { return Installer::State.compare_exchange_strong(from, to); }

void Notify(UINT message) { SendMessageW(Globals::MainWindowHandle.load(), message, 0, 0); }

}  // namespace

bool Installer::Start() {
    LONG previous = Idle;
    if (!State.compare_exchange_strong(previous, Working)) {
        previous = Stopped;
        if (!State.compare_exchange_strong(previous, Working)) return false;
        // This Stopped may be a failing worker's, set just before its failure
        // notice and close request; Ending was set before it.
        if (Ending.load()) {
            State.exchange(Stopped);
            return false;
        }
    }
    // The previous worker has set Stopped as its last act on State; its
    // handle is no longer needed.
    ThreadHandle.reset(CreateThread(nullptr, 0, WorkerThread, nullptr, 0, &ThreadID));
    if (!ThreadHandle) {
        // No worker behind Working: Done would wait for ever.
        DWORD error = GetLastError();
        State.exchange(previous);
        SetLastError(error);
        return false;
    }
    return true;
}

void Installer::Stop() { Exchange(Working, Stopping); }

void Installer::Done() {
    Stop();
    // A worker that is stopping (this stop or an earlier pause) is on its way
    // out within a moment, whatever the server does. Only
    // the State is polled, never the thread: the worker leaves Stopping for
    // Stopped only on its silent way out, and a worker that ended Working
    // first is left alone, since it may still be sending its notices to
    // this very thread.
    WaitWhileStopping();
}

void Installer::WaitWhileStopping() {
    while (State.load() == Stopping) Sleep(10);
}

void Installer::WaitForWorkerExit() {
    // Stopped and Installed are a worker's last states; in any other, its
    // setup program runs or is about to, and it is not waited for.
    LONG state = State.load();
    if (!ThreadHandle || (state != Stopped && state != Installed)) return;
    HANDLE thread = ThreadHandle.get();
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = Globals::GetTickCountDiff(start);
        if (elapsed >= ExitWaitMilliseconds) return;
        DWORD result = MsgWaitForMultipleObjects(1, &thread, FALSE, ExitWaitMilliseconds - elapsed, QS_SENDMESSAGE);
        if (result != WAIT_OBJECT_0 + 1) return;  // ended, timed out or failed
        // A notice sent before the window was gone is delivered here.
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

DWORD WINAPI Installer::WorkerThread(LPVOID) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    for (int attempt = 1;; ++attempt) {
        if (RunAttempt()) break;
        if (State.load() == Stopping) break;
        // A machine where nothing can be protected fails every attempt alike.
        if (attempt == AttemptCount || Unprotectable) break;
        WaitBeforeRetry();
        if (State.load() == Stopping) break;
    }
    CoUninitialize();
    EndWorker();
    return 0;
}

// The final State is set before any message: the GUI thread may be polling
// in Done without handling messages. It is set by compare-and-exchange out
// of the state read, so a stop that arrives after the read turns this into
// a stopped end, which sends nothing: the Done that made the stop may be
// polling for Stopped and would never handle a notice.
void Installer::EndWorker() {
    LONG state = State.load();
    for (;;) {
        if (state == Installed) {
            Notify(WM_CLOSE);
            return;
        }
        // A failing end refuses new workers from the moment it shows Stopped.
        Ending.store(state != Stopping);
        if (State.compare_exchange_strong(state, Stopped)) break;
        // Changed meanwhile (Working to Stopping): state now holds the new value.
    }
    if (state == Stopping) return;
    if (Unprotectable) TellUnprotectable();
    Notify(WM_QUERYENDSESSION);
    Notify(WM_CLOSE);
}

// The one failure the user can act on, in words. A box of the worker's own,
// with no owner: the GUI thread may be polling in Done, handling no
// messages, and an owned box would wait for it. State is Stopped by now, so
// a close meanwhile ends the run without waiting for this thread.
void Installer::TellUnprotectable() {
    std::wstring text = L"Setup cannot continue.\r\n\r\nThe folder \"" + platform::ProgramDataFolder() +
                        L"\" is on a drive that keeps no access rights (FAT or exFAT, for instance), or is reached "
                        L"through a link, so the downloaded setup program cannot be kept safe from other programs "
                        L"before it runs with administrator rights.\r\n\r\nRun setup on a computer whose "
                        L"ProgramData folder is on an NTFS drive.";
    MessageBoxW(nullptr, text.c_str(), Localizer::WindowCaption.c_str(),
                MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
}

void Installer::WaitBeforeRetry() {
    DWORD start = GetTickCount();
    while (Globals::GetTickCountDiff(start) < RetryWaitMilliseconds) {
        Sleep(100);
        if (State.load() == Stopping) return;
    }
}

bool Installer::RunAttempt() {
    // A stopped attempt keeps its file for the next start; any other
    // attempt deletes it, so the next one downloads from the first byte.
    platform::ScopeExit deleteUnlessStopped([] {
        if (State.load() != Stopping) DeleteSetupFile();
    });
    // After a failed setup run the state is still Installing; a stop that
    // arrived meanwhile in Working is kept.
    Exchange(Installing, Working);

    DWORD started = GetTickCount();
    if (!Download()) return false;
    DownloadSeconds = static_cast<std::int32_t>(rounding::RoundHalfToEven(Globals::GetTickCountDiff(started), 1000));
    if (State.load() == Stopping) return true;

    // The check and the run use a copy, made first, in a new folder that only
    // SYSTEM and the Administrators can write: no library can be dropped
    // beside it, and no view of the download kept open elsewhere can change
    // its bytes after the check. The folder, and whatever the setup program
    // leaves in it, goes when the attempt ends, however it ends; one that a
    // killed run left behind goes at the next start.
    platform::TProtectedFolder runFolder = platform::CreateProtectedFolder(RunFolderPrefix);
    if (runFolder.Path.empty()) return false;
    platform::ScopeExit removeRunFolder([&] { platform::RemoveProtectedFolder(runFolder); });
    const std::wstring runFile = runFolder.Path + L"\\" + platform::ExtractFileName(Globals::SetupFileName);
    if (!CopySetupFile(runFile)) return false;

    platform::UniqueFile checkedFile = LockSetupFile(runFile);
    if (!checkedFile) return false;
    if (!FileTrust::Verify(runFile)) return false;
    if (!Exchange(Working, Installing)) return true;  // stopped meanwhile

    if (!RunSetup(runFile, runFolder, std::move(checkedFile))) return false;
    if (!Globals::IsProductInstalled()) return false;
    State.exchange(Installed);
    return true;
}

platform::UniqueFile Installer::LockSetupFile(const std::wstring& AFileName) {
    // Read access for the check, shared for reading and executing only: no
    // one can open the file for writing, delete it or rename it while this
    // handle is open.
    return platform::UniqueFile(CreateFileW(AFileName.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool Installer::CopySetupFile(const std::wstring& ACopyName) {
    // Whatever the source holds while it is read is what the copy holds; the
    // copy alone is checked and run, and only administrators can change it.
    // No write sharing: while it is copied, nobody can rewrite the download
    // (an open handle that can write makes the copy fail instead).
    platform::UniqueFile source =
        platform::OpenWithoutReparse(DownloadFileName, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    std::uint64_t size = 0;
    if (!source || !platform::IsPlainFileAt(source.get(), DownloadFileName, size)) return false;
    platform::UniqueFile copy(
        CreateFileW(ACopyName.c_str(), GENERIC_WRITE, 0, platform::OwnedByAdministrators(), CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) return false;

    std::vector<std::uint8_t> buffer(64 * 1024);
    std::uint64_t copied = 0;
    for (;;) {
        // A close or a pause is seen within one piece: the download is kept,
        // the copy goes with the run folder.
        if (State.load() == Stopping) return false;
        DWORD read = 0;
        if (!ReadFile(source.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(copy.get(), buffer.data(), read, &written, nullptr) || written != read) return false;
        copied += written;
    }
    return copied == size;
}

void Installer::DeleteSetupFile() {
    // Never a relative name, which would be looked for in the current folder.
    if (!platform::IsAbsolutePath(DownloadFileName)) return;
    // Through a handle that was checked: a link or a junction planted under
    // the name makes the elevated delete hit nothing but the name itself.
    platform::UniqueFile file =
        platform::OpenWithoutReparse(DownloadFileName, DELETE | FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    std::uint64_t size = 0;
    if (file && platform::IsPlainFileAt(file.get(), DownloadFileName, size)) platform::DeleteThroughHandle(file.get());
    file.reset();
    // The next attempt looks at the fixed name again; a folder of our own
    // goes with its file.
    DownloadFileName.clear();
    platform::RemoveProtectedFolder(DownloadFolder);
}

void Installer::EndLaunches() {
    for (LONG open = 0; !LaunchGate.compare_exchange_strong(open, 2); open = 0) Sleep(10);
}

std::wstring Installer::SetupTempFolder() {
    // Setup programs unpack helpers into TEMP and load them elevated, and the
    // product a setup program starts once it has installed inherits TEMP and
    // runs on after the run folder is gone: a folder of our own under
    // %ProgramData%, kept across runs, that only SYSTEM and the Administrators
    // can write.
    const std::wstring programData = platform::ProgramDataFolder();
    if (programData.empty()) return {};
    const std::wstring kept = programData + L"\\" + TempFolderName;
    if (platform::EnsureProtectedFolder(kept)) return kept;
    // The fixed name is someone else's: a new folder under a name nobody can
    // have taken, kept as well.
    return platform::CreateProtectedFolder(TempFolderPrefix).Path;
}

void Installer::RemoveAbandonedRunFolders() { platform::RemoveAbandonedFolders(RunFolderPrefix); }

bool Installer::RunSetup(const std::wstring& ARunFile, const platform::TProtectedFolder& ARunFolder,
                         platform::UniqueFile ACheckedFile) {
    DWORD attributes = GetFileAttributesW(ARunFile.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    platform::ScopeExit deleteSetupFile([] { DeleteSetupFile(); });

    setupcmd::TSetupSettings settings;
    settings.SetupFileName = ARunFile;
    settings.AutoCSOffer = Globals::AutoCSOffer;
    settings.DisplayOffers = Globals::DisplayOffers;
    settings.ErrorCode = Globals::ErrorCode;
    settings.OpenWebPageURL = Localizer::OpenWebPageURL;
    settings.SkipAfterInstallPage = Globals::SkipAfterInstallPage;
    settings.DownloadSeconds = DownloadSeconds;
    settings.ProductName = Globals::ProductName;
    settings.CampaignSource = Globals::CampaignSource;
    settings.ABVariant = Globals::ABVariant;
    settings.RunApplication = Globals::RunApplication;
    settings.GAParam = Globals::GAParam;

    // The setup program runs elevated: its environment is the machine's, cut
    // to what a setup program needs, never the user's (a profiler that every
    // .NET process loads, a compatibility layer, library folders on the
    // PATH).
    setupcmd::TSetupFolders folders;
    folders.TempFolder = SetupTempFolder();
    folders.WindowsFolder = platform::WindowsFolder();
    folders.UserProfile = platform::UserProfileFolder();
    // The account's own folders and names, from the elevated token: scripts
    // and custom actions read them, and the user's block must not set them.
    folders.RoamingAppData = platform::KnownFolder(RoamingAppDataFolderId);
    folders.LocalAppData = platform::KnownFolder(LocalAppDataFolderId);
    platform::AccountName(folders.UserName, folders.UserDomain);
    folders.Wow64 = platform::IsWow64();
    const std::wstring machine = platform::MachineEnvironment();
    if (machine.empty() || folders.WindowsFolder.empty() || folders.TempFolder.empty()) return false;
    const std::wstring block = setupcmd::ComposeSetupEnvironment(machine, folders);

    // The absolute path as the application name (no search of any folder),
    // and the copy's own folder as the current folder. The setup program
    // holds its folder too, for as long as it runs: a later start of the
    // installer leaves the folder alone even when this process has ended
    // (killed, or closed during the installation, which it does not wait
    // for).
    platform::TProcess setup;
    LONG open = 0;
    if (!LaunchGate.compare_exchange_strong(open, 1)) return false;  // the process is ending
    bool started = platform::RunProcess(ARunFile, setupcmd::ComposeSetupCommandLine(settings), ARunFolder.Path,
                                        block, ARunFolder.Hold.get(), setup);
    LaunchGate.store(0);
    // The process has its image now; the file may be released (and is
    // deleted once the setup program has ended).
    ACheckedFile.reset();
    if (!started) return false;
    WaitForSingleObject(setup.Process.get(), INFINITE);
    // On a reinstall or an upgrade the uninstall key is there already: a
    // setup that failed must not count as installed. One that asks for a
    // restart (3010, or 1641 when it started one) has installed.
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(setup.Process.get(), &exitCode)) return false;
    return exitCode == ERROR_SUCCESS || exitCode == ERROR_SUCCESS_REBOOT_REQUIRED ||
           exitCode == ERROR_SUCCESS_REBOOT_INITIATED;
}
