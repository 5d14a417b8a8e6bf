// quellox-collect's service: the store, its writer and the answers, on the
// HTTP side the host services share.
#pragma once

#include <string>

#include "host/collect/App.h"
#include "host/http/Server.h"

namespace collect {

struct ServiceSettings {
    hosthttp::Options Server;
    AppSettings App;
    std::string Store;
    StoreOptions Options;
    int RetentionDays = 400;
};

// Serves until SIGTERM; every event received by then is committed before it
// returns. The exit code.
int Serve(ServiceSettings settings);

}  // namespace collect
