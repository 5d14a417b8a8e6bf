// The HTTP side of the service (Boost.Beast on Asio): accepts connections,
// answers each request with a stamped copy, a 304, or a one-line refusal,
// reloads the installer and the keys on SIGHUP and stops gracefully on
// SIGTERM.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "stampd/Release.h"

namespace stampd {

struct Settings {
    std::string Address = "127.0.0.1";
    unsigned short Port = 8080;
    std::string InstallerPath;
    std::string KeyPath;
    std::string OldKeyPath;      // empty: only the current key
    bool RefuseUnsigned = false;  // 403 instead of a copy without campaign values
    unsigned Threads = 0;         // 0: one per core
    unsigned MaxAgeSeconds = 3600;
    unsigned StopTimeoutSeconds = 30;
};

// A file descriptor, closed with its owner.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }
    void reset(int fd = -1);
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// What a request is answered from; replaced as a whole on SIGHUP, while the
// requests in flight keep the one they started with.
struct Loaded {
    std::shared_ptr<const Release> Installer;
    UniqueFd ImageFile;  // the image in memory, sealed, for sendfile
    std::string Key;
    std::string OldKey;
};

// Reads the installer and the keys that `settings` names.
std::shared_ptr<const Loaded> LoadAll(const Settings& settings, std::string& error);

// Serves until SIGTERM or SIGINT and every request in flight has ended (or
// the stop time-out has passed); the exit code.
int Serve(const Settings& settings, std::shared_ptr<const Loaded> loaded);

}  // namespace stampd
