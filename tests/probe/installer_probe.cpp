// Runs parts of the installation engine in a process of its own, after the
// installer's own start-up, and prints what happened, one "Name=value" line
// each.
//
//   installer_probe download   Installer::Download, QUELLOX_PROBE_ATTEMPTS
//                              times (default 1); between attempts the file
//                              is deleted when QUELLOX_PROBE_DELETE_BETWEEN is
//                              set; a stop is requested from the progress
//                              handler once it reports QUELLOX_PROBE_STOP_AT.
//                              Progress lists "percent@bytes" per report.
//   installer_probe verify P [PINS]
//                              FileTrust::Verify on the file P; with PINS
//                              (fingerprints separated by ';') in place of
//                              the build's signer pin.
//   installer_probe read P     TSignaturePatcher's values of the file P.
//   installer_probe stamp P C R T
//                              TSignaturePatcher::SetData and UpdateFile.
#include <windows.h>

#include <string>

#include "installer/uFileTrust.h"
#include "installer/uInstaller.h"
#include "platform/SystemLibrary.h"
#include "startup/uGlobals.h"
#include "startup/uPatcher.h"
#include "ui/uLocalizer.h"
#include "tests/support/TestOutput.h"

namespace {

using testoutput::Print;

int EnvironmentNumber(const wchar_t* name, int fallback) {
    std::wstring value = testoutput::Environment(name);
    return value.empty() ? fallback : _wtoi(value.c_str());
}

struct ProgressLog {
    std::wstring Reports;
    int StopAt = 1000;
};

void RecordProgress(void* object, std::uint8_t percent) {
    auto* log = static_cast<ProgressLog*>(object);
    if (!log->Reports.empty()) log->Reports += L',';
    log->Reports += std::to_wstring(percent) + L"@" + std::to_wstring(Installer::BytesDone);
    if (percent >= log->StopAt) Installer::State.exchange(Stopping);
}

bool HandlesClosed() {
    return !Installer::Transfer.IsOpen() && !Installer::FileHandle;
}

// No handle of ours is left on the file when an exclusive open succeeds.
bool FileReleased() {
    HANDLE file = CreateFileW(Globals::SetupFileName.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    CloseHandle(file);
    return true;
}

int RunDownloads() {
    ProgressLog log;
    log.StopAt = EnvironmentNumber(L"QUELLOX_PROBE_STOP_AT", 1000);
    Installer::OnProgress = {&log, RecordProgress};
    int attempts = EnvironmentNumber(L"QUELLOX_PROBE_ATTEMPTS", 1);
    bool deleteBetween = EnvironmentNumber(L"QUELLOX_PROBE_DELETE_BETWEEN", 0) != 0;

    Print(L"SetupFileName", Globals::SetupFileName);
    Print(L"DownloadURL", Localizer::GetDownloadURL());
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        Installer::State.exchange(Working);
        if (attempt > 1 && deleteBetween) DeleteFileW(Globals::SetupFileName.c_str());
        DWORD started = GetTickCount();
        bool result = Installer::Download();
        DWORD elapsed = GetTickCount() - started;
        std::wstring prefix = L"Attempt" + std::to_wstring(attempt) + L".";
        Print(prefix + L"Result", result ? L"1" : L"0");
        Print(prefix + L"ElapsedMs", std::to_wstring(elapsed));
        Print(prefix + L"BytesDone", std::to_wstring(Installer::BytesDone));
        Print(prefix + L"TotalSize", std::to_wstring(Installer::TotalSize));
        Print(prefix + L"HandlesClosed", HandlesClosed() ? L"1" : L"0");
        Print(prefix + L"FileReleased", FileReleased() ? L"1" : L"0");
        Print(prefix + L"Progress", log.Reports);
        Print(prefix + L"DownloadFileName", Installer::DownloadFileName);
        log.Reports.clear();
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    platform::RestrictDllSearchPath();
    Globals::Init();
    Localizer::Init();

    std::wstring verb = argc > 1 ? argv[1] : L"";
    if (verb == L"download") return RunDownloads();
    if (verb == L"verify" && argc > 2) {
        std::string pins;
        if (argc > 3) {
            for (const wchar_t* c = argv[3]; *c != 0; ++c) pins += static_cast<char>(*c);
            FileTrust::SignerPins = pins;
        }
        Print(L"Trusted", FileTrust::Verify(argv[2]) ? L"1" : L"0");
        return 0;
    }
    if (verb == L"read" && argc > 2) {
        TSignaturePatcher patcher(argv[2]);
        Print(L"IsValid", patcher.IsValid() ? L"1" : L"0");
        Print(L"cookie", patcher.GetData(dtCookie));
        Print(L"partner", patcher.GetData(dtIdPartner));
        Print(L"traffic", patcher.GetData(dtIdTraffic));
        return 0;
    }
    if (verb == L"stamp" && argc > 5) {
        TSignaturePatcher patcher(argv[2]);
        patcher.SetData(dtCookie, argv[3]);
        patcher.SetData(dtIdPartner, argv[4]);
        patcher.SetData(dtIdTraffic, argv[5]);
        Print(L"Updated", patcher.UpdateFile() ? L"1" : L"0");
        return 0;
    }
    return 2;
}
