// The stamping tool's file access: whole-file reads, files created new and
// moved into place, each failure with the system's reason.
#include "tools/StampFiles.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

namespace files {

namespace {

namespace fs = std::filesystem;

// One open file descriptor, closed when it goes out of scope.
class UniqueDescriptor {
public:
    explicit UniqueDescriptor(int descriptor) : descriptor_(descriptor) {}
    UniqueDescriptor(const UniqueDescriptor&) = delete;
    UniqueDescriptor& operator=(const UniqueDescriptor&) = delete;
    ~UniqueDescriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    int get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ >= 0; }
    // Closes now; a failed close (a delayed write error) reports its reason.
    int close() {
        int result = ::close(descriptor_);
        descriptor_ = -1;
        return result;
    }

private:
    int descriptor_;
};

bool Flush(int descriptor) {
#ifdef _WIN32
    return _commit(descriptor) == 0;
#else
    return ::fsync(descriptor) == 0;
#endif
}

bool WriteAndClose(UniqueDescriptor& file, const stamp::Bytes& bytes, std::string& why) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 1 << 20);
        auto wrote = ::write(file.get(), bytes.data() + done, static_cast<unsigned>(chunk));
        if (wrote <= 0) return why = WithReason("cannot be written", wrote < 0 ? errno : ENOSPC), false;
        done += static_cast<std::size_t>(wrote);
    }
    if (!Flush(file.get())) return why = WithReason("cannot be written", errno), false;
    if (file.close() != 0) return why = WithReason("cannot be written", errno), false;
    return true;
}

// Digits for a new name; names already taken are skipped by the caller.
std::string UniqueSuffix() {
    static std::mt19937_64 generator{std::random_device{}()};
    return std::to_string(generator() % 1000000000000ull);
}

// Creates `path` new and writes `bytes`; `nameTaken` tells a name in use from
// other failures. O_EXCL: never an existing file, and never through a link.
bool WriteExclusive(const std::string& path, const stamp::Bytes& bytes, int mode, std::string& why, bool& nameTaken) {
    UniqueDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file) {
        nameTaken = errno == EEXIST;
        return why = WithReason("cannot be created", errno), false;
    }
    if (WriteAndClose(file, bytes, why)) return true;
    std::remove(path.c_str());  // the file this call created
    return false;
}

}  // namespace

std::string WithReason(const std::string& text, int error) {
    return text + ": " + std::generic_category().message(error);
}

bool ReadAll(const std::string& path, stamp::Bytes& bytes, std::string& why) {
    bool standardInput = path == "-";
    UniqueDescriptor file(standardInput ? ::dup(0) : ::open(path.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC));
    if (!file) return why = WithReason("cannot be read", errno), false;
#ifdef _WIN32
    if (standardInput) _setmode(file.get(), O_BINARY);
#endif
    struct stat info;
    if (::fstat(file.get(), &info) != 0) return why = WithReason("cannot be read", errno), false;
    if (S_ISDIR(info.st_mode)) return why = WithReason("cannot be read", EISDIR), false;
    std::uint8_t buffer[65536];
    for (;;) {
        auto read = ::read(file.get(), buffer, sizeof(buffer));
        if (read < 0) return why = WithReason("cannot be read", errno), false;
        if (read == 0) return true;
        bytes.insert(bytes.end(), buffer, buffer + read);
    }
}

bool WriteNewAt(const std::string& path, const stamp::Bytes& bytes, std::string& why) {
    bool nameTaken = false;
    return WriteExclusive(path, bytes, 0666, why, nameTaken);
}

bool WriteNew(const std::string& prefix, const stamp::Bytes& bytes, std::string& created, std::string& why) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = prefix + "." + UniqueSuffix();
        bool nameTaken = false;
        // Only the user's until CopyAccess gives it the permissions it is meant to have.
        if (WriteExclusive(path, bytes, 0600, why, nameTaken)) return created = path, true;
        if (!nameTaken) return false;
    }
    return false;
}

void CopyAccess(const std::string& from, const std::string& to) {
    std::error_code ignored;
    fs::permissions(to, fs::status(from, ignored).permissions(), ignored);
#ifndef _WIN32
    // Only a privileged user can give a file away; for others it is theirs already.
    struct stat info;
    if (::stat(from.c_str(), &info) == 0 && ::chown(to.c_str(), info.st_uid, info.st_gid) != 0) {
        // left as the current user's
    }
#endif
}

bool PlaceNew(const std::string& from, const std::string& to, std::string& why) {
#ifdef _WIN32
    // The C run-time's rename never replaces an existing file here.
    if (std::rename(from.c_str(), to.c_str()) != 0) return why = WithReason("cannot be written", errno), false;
    return true;
#else
    // A hard link is made only when nothing stands under the name; file
    // systems without hard links fall back to a look and a rename.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    int error = errno;
    if (error != EPERM && error != ENOTSUP && error != EOPNOTSUPP && error != EXDEV)
        return why = WithReason("cannot be written", error), false;
    struct stat info;
    if (::lstat(to.c_str(), &info) == 0) return why = WithReason("cannot be written", EEXIST), false;
    if (std::rename(from.c_str(), to.c_str()) != 0) return why = WithReason("cannot be written", errno), false;
    return true;
#endif
}

bool PlaceOver(const std::string& from, const std::string& to, std::string& why) {
    std::error_code error;
    fs::rename(from, to, error);
    if (error) return why = "cannot be replaced: " + error.message(), false;
    return true;
}

bool MakeNewFolder(const std::string& prefix, std::string& created, std::string& why) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = prefix + "." + UniqueSuffix();
        std::error_code error;
        // false without an error: the name is taken (by a folder, a file or a link).
        if (fs::create_directory(path, error)) {
            fs::permissions(path, fs::perms::owner_all, error);
            return created = path, true;
        }
        if (error && error != std::errc::file_exists) return why = "cannot be created: " + error.message(), false;
    }
    return why = "cannot be created: no free name", false;
}

}  // namespace files
