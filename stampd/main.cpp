// quellox-stampd: hands each visitor a signed copy of the installer that
// carries the campaign values of the visitor's (signed) download address.
// Every setting is a flag or an environment variable; see Usage.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "stampd/Server.h"

namespace {

const char* const UsageText =
    "usage: quellox-stampd --installer FILE --key FILE [--old-key FILE] [--listen ADDRESS:PORT]\n"
    "                      [--unsigned serve|refuse] [--threads N] [--max-age SECONDS] [--stop-timeout SECONDS]\n"
    "\n"
    "Each flag may come from the environment instead: QUELLOX_STAMPD_INSTALLER, QUELLOX_STAMPD_KEY,\n"
    "QUELLOX_STAMPD_OLD_KEY, QUELLOX_STAMPD_LISTEN (default 127.0.0.1:8080), QUELLOX_STAMPD_UNSIGNED\n"
    "(default serve: a copy without campaign values; refuse: 403), QUELLOX_STAMPD_THREADS (default one\n"
    "per core), QUELLOX_STAMPD_MAX_AGE (Cache-Control max-age, default 3600), QUELLOX_STAMPD_STOP_TIMEOUT\n"
    "(how long SIGTERM waits for the requests in flight, default 30).\n"
    "SIGHUP reads the installer and the keys again; SIGTERM stops after the requests in flight.\n";

int Usage(std::FILE* to) {
    std::fputs(UsageText, to);
    return 2;
}

bool ReadNumber(const std::string& text, unsigned max, unsigned& number) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    number = static_cast<unsigned>(std::stoul(text));
    return number <= max;
}

bool ReadListen(const std::string& text, stampd::Settings& settings) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    unsigned port = 0;
    if (!ReadNumber(text.substr(colon + 1), 65535, port)) return false;
    settings.Address = text.substr(0, colon);
    if (settings.Address.size() > 2 && settings.Address.front() == '[' && settings.Address.back() == ']')
        settings.Address = settings.Address.substr(1, settings.Address.size() - 2);
    settings.Port = static_cast<unsigned short>(port);
    return true;
}

// One setting from its flag or its environment variable; false when the value is refused.
bool Apply(const std::string& name, const std::string& value, stampd::Settings& settings) {
    if (name == "installer") return settings.InstallerPath = value, !value.empty();
    if (name == "key") return settings.KeyPath = value, !value.empty();
    if (name == "old-key") return settings.OldKeyPath = value, true;
    if (name == "listen") return ReadListen(value, settings);
    if (name == "unsigned") return (value == "serve" || value == "refuse") && (settings.RefuseUnsigned = value == "refuse", true);
    if (name == "threads") return ReadNumber(value, 256, settings.Threads);
    if (name == "max-age") return ReadNumber(value, 31536000, settings.MaxAgeSeconds);
    if (name == "stop-timeout") return ReadNumber(value, 86400, settings.StopTimeoutSeconds);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // A client that goes away mid-download makes the next sendfile fail with
    // EPIPE; the default action of SIGPIPE would end the whole service.
    std::signal(SIGPIPE, SIG_IGN);
    stampd::Settings settings;
    const char* const names[] = {"installer", "key", "old-key", "listen", "unsigned", "threads", "max-age", "stop-timeout"};
    for (const char* name : names) {
        std::string variable = "QUELLOX_STAMPD_";
        for (const char* c = name; *c; ++c) variable += *c == '-' ? '_' : static_cast<char>(*c - 'a' + 'A');
        if (const char* value = std::getenv(variable.c_str()); value != nullptr && *value != 0 && !Apply(name, value, settings)) {
            std::fprintf(stderr, "quellox-stampd: %s: value refused: %s\n", variable.c_str(), value);
            return 2;
        }
    }
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") return Usage(stdout);
        if (flag.rfind("--", 0) != 0 || i + 1 >= argc) return Usage(stderr);
        if (!Apply(flag.substr(2), argv[++i], settings)) {
            std::fprintf(stderr, "quellox-stampd: %s: value refused: %s\n", flag.c_str(), argv[i]);
            return 2;
        }
    }
    if (settings.InstallerPath.empty() || settings.KeyPath.empty()) return Usage(stderr);

    std::string error;
    auto loaded = stampd::LoadAll(settings, error);
    if (!loaded) {
        std::fprintf(stderr, "quellox-stampd: %s\n", error.c_str());
        return 1;
    }
    return stampd::Serve(settings, std::move(loaded));
}
