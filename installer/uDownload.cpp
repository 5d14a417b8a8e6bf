// Installer's download: appends the setup program to its fixed file in the
// download folder under %ProgramData%, asking the server only for the bytes
// still missing.
#include <string>

#include "installer/uInstaller.h"
#include "installer/uResumeRules.h"
#include "installer/uRounding.h"
#include "platform/PlainFile.h"
#include "platform/ProtectedFolder.h"
#include "platform/Strings.h"
#include "startup/uGlobals.h"
#include "ui/uLocalizer.h"

namespace {

constexpr DWORD ChunkSize = 512;
// Nothing from or into the cache, not even a proxy's (Pragma and
// Cache-Control: no-cache), no cookies sent or kept, no dialogs.
constexpr DWORD RequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                               INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI;

}  // namespace

bool Installer::Download() {
    platform::ScopeExit closeAll([] {
        CloseRequest();
        CloseSetupFile();
    });
    if (!OpenSetupFile()) return false;
    if (State == Stopping) return false;
    BytesAvailable = 0;
    if (!OpenRequest()) return false;
    if (State == Stopping) return false;

    while (BytesDone < TotalSize) {
        if (!ReadChunk()) break;
        if (OnProgress.Code != nullptr && Percent > LastPercent) {
            LastPercent = Percent;
            OnProgress.Code(OnProgress.Object, Percent);
        }
        if (State == Stopping) break;
    }
    return BytesDone == TotalSize;
}

bool Installer::OpenSetupFile() {
    if (DownloadFileName.empty()) DownloadFileName = Globals::SetupFileName;
    // Without %ProgramData% the name is relative: a relative name is found
    // in folders that others choose. No download then.
    if (!platform::IsAbsolutePath(DownloadFileName)) return false;
    // The folder is made ours, and checked, before anything is created in it.
    if (!UseDownloadFolder()) return false;

    std::uint64_t size = 0;
    if (!OpenDownloadFile(OPEN_ALWAYS, size)) {
        // Under the name stands something that is not plainly ours: a
        // folder, a second link, a path elsewhere, a file another user made.
        // It is left alone, and the download moves to a name of its own,
        // from the first byte.
        if (!UseOwnDownloadName() || !OpenDownloadFile(CREATE_NEW, size)) return false;
    }
    // A partial file larger than any setup program the download accepts
    // cannot be continued; the failed attempt deletes it.
    if (size > resume::MaxSetupSize) return false;

    // Only ever appended to: the bytes on disk are the start of the file.
    if (!SetFilePointerEx(FileHandle.get(), LARGE_INTEGER{}, nullptr, FILE_END)) return false;
    BytesDone = static_cast<std::uint32_t>(size);
    return true;
}

bool Installer::OpenDownloadFile(DWORD ADisposition, std::uint64_t& ASize) {
    // The name itself, not what a reparse point under it leads to; shared
    // for reading only, so nobody rewrites it while it is open.
    constexpr DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL;
    FileHandle = platform::OpenWithoutReparse(DownloadFileName, access, FILE_SHARE_READ, ADisposition);
    if (!FileHandle) return false;
    bool created = ADisposition == CREATE_NEW || GetLastError() != ERROR_ALREADY_EXISTS;
    const std::wstring folder = DownloadFileName.substr(0, DownloadFileName.rfind(L'\\'));
    if (platform::IsPlainFileAt(FileHandle.get(), DownloadFileName, ASize) &&
        platform::IsOwnedByUs(FileHandle.get(), folder))
        return true;
    // Refused; a file this call created goes again, through its handle.
    if (created) platform::DeleteThroughHandle(FileHandle.get());
    FileHandle.reset();
    return false;
}

bool Installer::UseDownloadFolder() {
    const std::wstring folder = DownloadFileName.substr(0, DownloadFileName.rfind(L'\\'));
    if (!DownloadFolder.Path.empty() && folder == DownloadFolder.Path) return true;  // made new, and held
    if (platform::EnsureProtectedFolder(folder)) return true;
    if (!platform::CanProtectFolders()) {
        Unprotectable = true;
        return false;
    }
    // The fixed name is someone else's (a file, a link, a junction, a folder
    // they made first): a folder of our own, made new under a name nobody
    // can have taken. A partial download is resumed across runs only in the
    // fixed folder.
    DownloadFolder = platform::CreateProtectedFolder(RunFolderPrefix);
    if (DownloadFolder.Path.empty()) return false;
    DownloadFileName = DownloadFolder.Path + L"\\" + platform::ExtractFileName(Globals::SetupFileName);
    return true;
}

bool Installer::UseOwnDownloadName() {
    std::wstring guid = platform::NewGuidText();
    if (guid.empty()) return false;
    const std::wstring folder = DownloadFileName.substr(0, DownloadFileName.rfind(L'\\'));
    DownloadFileName = folder + L"\\" +
                       platform::ChangeFileExt(platform::ExtractFileName(Globals::SetupFileName), L"") + L"-" + guid +
                       L".exe";
    return true;
}

bool Installer::OpenRequest() {
    const platform::TWinInetApi* inet = platform::WinInet();
    if (inet == nullptr) return false;
    // Resolving, connecting, the TLS handshake, sending and the answer's
    // headers, all within one transfer time-out from here.
    Transfer.StartDeadline(TransferTimeoutMilliseconds);
    const std::wstring& url = Localizer::GetDownloadURL();
    inet->DeleteUrlCacheEntryW(url.c_str());

    // The address's parts, for a connection of its own: the time-outs are
    // then set on the request before it is sent, where every platform
    // applies them (Wine ignores those a session passes to InternetOpenUrlW).
    // They bound each socket call inside WinINet; the deadline bounds the
    // waits.
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = 1;
    parts.dwUrlPathLength = 1;
    parts.dwExtraInfoLength = 1;
    if (!inet->InternetCrackUrlW(url.c_str(), 0, 0, &parts) || parts.lpszHostName == nullptr ||
        parts.lpszUrlPath == nullptr)
        return false;
    // https: TLS with the platform's full certificate checks, on port 443
    // unless the address names another (nPort is the scheme's default then).
    // No redirect is followed: one to a plain http address would fetch, in
    // clear, the program that runs elevated (the flag that merely ignores
    // such a redirect lets it through silently). A redirect's status fails
    // the attempt like any other the download does not accept.
    DWORD secure = 0;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS)
        secure = INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_AUTO_REDIRECT;
    else if (parts.nScheme != INTERNET_SCHEME_HTTP)
        return false;
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring object(parts.lpszUrlPath);  // path, query and fragment

    if (!Transfer.Open(L"GET", host, parts.nPort, object, RequestFlags | secure, TransferTimeoutMilliseconds))
        return false;

    std::wstring range;
    if (BytesDone > 0) {
        range = L"Range: bytes=";
        platform::AppendDecimal(range, BytesDone);
        range += L'-';
    }
    if (!Transfer.Send(range, {})) return false;
    if (secure != 0 && !Transfer.IsSecure()) return false;

    // Only bytes that follow those on disk are appended: a whole body starts
    // the file again, a range that starts elsewhere is refused, and a range
    // the server cannot satisfy at the file's own size means it is whole.
    // Nothing larger than the limit is taken, before a byte of it is written.
    DWORD status = 0;
    if (!Transfer.QueryNumber(HTTP_QUERY_STATUS_CODE, status)) return false;
    resume::TPlan plan = resume::PlanAnswer(BytesDone, status, Transfer.QueryText(HTTP_QUERY_CONTENT_LENGTH),
                                            Transfer.QueryText(HTTP_QUERY_CONTENT_RANGE));
    if (plan.Action == resume::TAction::Refuse) return false;
    if (plan.Action == resume::TAction::Restart && BytesDone > 0) {
        if (!SetFilePointerEx(FileHandle.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
            !SetEndOfFile(FileHandle.get()))
            return false;
        BytesDone = 0;
    }
    TotalSize = plan.TotalSize;
    return true;
}

bool Installer::ReadChunk() {
    // Reads only what has arrived. A synchronous read of a whole chunk waits
    // until all of it is there, and a server that trickles a byte within
    // every receive time-out holds it for as long as it likes; the count
    // waits for one byte at most. It is asked for again only once the last
    // count is used up, so a fast transfer makes the same reads as before
    // and a few counts more. Each wait for the count ends within one
    // transfer time-out, or at a stop.
    if (BytesAvailable == 0) {
        Transfer.StartDeadline(TransferTimeoutMilliseconds);
        if (!Transfer.QueryAvailable(BytesAvailable)) return false;
    }
    // No more data although the total is not reached: the server closed the
    // connection early. End the transfer; the byte count fails the attempt.
    if (BytesAvailable == 0) return false;
    DWORD wanted = resume::ReadSize(BytesAvailable, ChunkSize, BytesDone, TotalSize);
    const std::uint8_t* data = nullptr;
    DWORD read = 0;
    if (!Transfer.Read(wanted, data, read)) return false;
    if (read == 0 || read > wanted) return false;
    BytesAvailable -= read < BytesAvailable ? read : BytesAvailable;
    DWORD written = 0;
    // A short write (a full disk) fails the attempt, as in the copy.
    if (!WriteFile(FileHandle.get(), data, read, &written, nullptr) || written != read) return false;
    BytesDone += written;
    Percent = rounding::DownloadPercent(BytesDone, TotalSize);
    return true;
}

void Installer::CloseRequest() { Transfer.Close(); }

void Installer::CloseSetupFile() {
    if (FileHandle) FlushFileBuffers(FileHandle.get());
    FileHandle.reset();
}
