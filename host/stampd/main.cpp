// quellox-stampd: hands each visitor a signed copy of the installer that
// carries the campaign values of the visitor's (signed) download address.
// Every setting is a flag or an environment variable; see the usage.
#include <csignal>
#include <cstdio>
#include <string>

#include "host/http/CommandLine.h"
#include "host/stampd/Server.h"

namespace {

std::string UsageText() {
    return "usage: quellox-stampd --installer FILE --key FILE [--old-key FILE] [--listen ADDRESS:PORT]\n"
           "                      [--unsigned serve|refuse] [--threads N] [--max-connections N]\n"
           "                      [--max-age SECONDS] [--stop-timeout SECONDS]\n"
           "\n"
           "Each flag may come from the environment instead:\n"
           "  --installer FILE          QUELLOX_STAMPD_INSTALLER: the signed installer\n"
           "  --key FILE                QUELLOX_STAMPD_KEY: the current key\n"
           "  --old-key FILE            QUELLOX_STAMPD_OLD_KEY: the previous key, during a rotation\n"
           "  --unsigned serve|refuse   QUELLOX_STAMPD_UNSIGNED, default serve: a copy without campaign\n"
           "                            values; refuse: 403\n"
           "  --max-age SECONDS         QUELLOX_STAMPD_MAX_AGE, default 3600: Cache-Control max-age\n" +
           hosthttp::ServerFlagsUsage("QUELLOX_STAMPD_") +
           "SIGHUP reads the installer and the keys again; SIGTERM stops after the requests in flight.\n";
}

}  // namespace

int main(int argc, char** argv) {
    // A client that goes away mid-download makes the next sendfile fail with
    // EPIPE; the default action of SIGPIPE would end the whole service.
    std::signal(SIGPIPE, SIG_IGN);
    stampd::Settings settings;
    settings.Server.Program = "quellox-stampd";
    hosthttp::CommandLine line;
    line.Program = "quellox-stampd";
    line.Version = QUELLOX_VERSION;
    line.Usage = UsageText();
    line.EnvironmentPrefix = "QUELLOX_STAMPD_";
    line.Required = {"installer", "key"};
    line.Flags = {
        {"installer", [&](const std::string& v) { return settings.InstallerPath = v, !v.empty(); }},
        {"key", [&](const std::string& v) { return settings.KeyPath = v, !v.empty(); }},
        {"old-key", [&](const std::string& v) { return settings.OldKeyPath = v, true; }},
        {"unsigned", [&](const std::string& v) {
             settings.RefuseUnsigned = v == "refuse";
             return v == "serve" || v == "refuse";
         }},
        {"max-age", [&](const std::string& v) { return hosthttp::ReadNumber(v, 31536000, settings.MaxAgeSeconds); }},
    };
    hosthttp::AddServerFlags(line, settings.Server);
    if (auto exitCode = hosthttp::ReadCommandLine(line, argc, argv)) return *exitCode;

    std::string error;
    auto loaded = stampd::LoadAll(settings, error);
    if (!loaded) {
        std::fprintf(stderr, "quellox-stampd: %s\n", error.c_str());
        return 1;
    }
    return stampd::Serve(settings, std::move(loaded));
}
