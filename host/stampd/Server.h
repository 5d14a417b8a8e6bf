// The stamping service's answers: a stamped copy, a 304, or a one-line
// refusal, for each request that the shared HTTP side hands over; the
// installer and the keys read again on SIGHUP.
#pragma once

#include <memory>
#include <string>

#include "host/http/Server.h"
#include "host/http/UniqueFd.h"
#include "host/stampd/Release.h"

namespace stampd {

struct Settings {
    hosthttp::Options Server;
    std::string InstallerPath;
    std::string KeyPath;
    std::string OldKeyPath;       // empty: only the current key
    bool RefuseUnsigned = false;  // 403 instead of a copy without campaign values
    unsigned MaxAgeSeconds = 3600;
};

// What a request is answered from; replaced as a whole on SIGHUP, while the
// requests in flight keep the one they started with.
struct Loaded {
    std::shared_ptr<const Release> Installer;
    hosthttp::UniqueFd ImageFile;  // the image in memory, sealed, for sendfile
    std::string Key;
    std::string OldKey;
};

// Reads the installer and the keys that `settings` names.
std::shared_ptr<const Loaded> LoadAll(const Settings& settings, std::string& error);

// Serves until SIGTERM or SIGINT and every request in flight has ended (or
// the stop time-out has passed); the exit code.
int Serve(const Settings& settings, std::shared_ptr<const Loaded> loaded);

}  // namespace stampd
