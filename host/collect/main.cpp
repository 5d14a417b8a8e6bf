// quellox-collect: the maker's own collector of the installer's events, with
// the funnel page. Every setting is a flag or an environment variable; see
// the usage.
#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "host/collect/AccessLog.h"
#include "host/collect/Defaults.h"
#include "host/collect/Json.h"
#include "host/collect/Service.h"
#include "host/http/CommandLine.h"

namespace {

const char* const Program = "quellox-collect";

std::string UsageText() {
    return "usage: quellox-collect [--store sqlite:FILE|postgresql://…] [--listen ADDRESS:PORT] [--token FILE]\n"
           "                       [--tracking-id ID[,ID…]] [--ga4-id ID --ga4-secret FILE]\n"
           "                       [--retention-days N] [--sqlite-sync full|normal]\n"
           "                       [--threads N] [--max-connections N] [--stop-timeout SECONDS]\n"
           "       quellox-collect import-log FILE [--store …]   the copies quellox-stampd served, from its access log\n"
           "       quellox-collect forget CLIENT_ID [--store …]  removes one installation's events\n"
           "       quellox-collect funnel [--from DAY] [--to DAY] [--store …]   the funnel, as text\n"
           "\n"
           "Takes the installer's events (POST /collect, POST /mp/collect) into a database and serves the\n"
           "funnel page (GET /) and its figures (GET /api/funnel). Each flag may come from the environment:\n"
           "  --store ADDRESS           QUELLOX_COLLECT_STORE, default sqlite:events.db (created when missing)\n"
           "  --token FILE              QUELLOX_COLLECT_TOKEN: the page's token (at least 32 bytes); without it\n"
           "                            the page and its figures are served to loopback only\n"
           "  --tracking-id IDS         QUELLOX_COLLECT_TRACKING_ID, default " +
           std::string(collect::defaults::TrackingID) +
           ": the v1 tracking ids taken\n"
           "  --ga4-id ID               QUELLOX_COLLECT_GA4_ID: the GA4 measurement id taken" +
           (*collect::defaults::GA4MeasurementID ? std::string(", default ") + collect::defaults::GA4MeasurementID : "") +
           "\n"
           "  --ga4-secret FILE         QUELLOX_COLLECT_GA4_SECRET: the file holding its API secret\n"
           "  --retention-days N        QUELLOX_COLLECT_RETENTION_DAYS, default 400: older events are deleted\n"
           "                            (0 keeps everything)\n"
           "  --sqlite-sync full|normal QUELLOX_COLLECT_SQLITE_SYNC, default full: each commit on the disk before its\n"
           "                            answer; normal: in the write-ahead log (kept through kill -9, not a power cut)\n" +
           hosthttp::ServerFlagsUsage("QUELLOX_COLLECT_", "127.0.0.1:8090") +
           "A 2xx answer means the event is committed. When the database cannot commit, the connection is closed\n"
           "without an answer, and the installer sends the event again. SIGTERM commits what was received, then ends.\n";
}

bool ReadSecretFile(const std::string& path, std::size_t minimum, std::string& secret, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    secret.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r' || secret.back() == ' ')) secret.pop_back();
    if (secret.size() < minimum) {
        error = path + " holds fewer than " + std::to_string(minimum) + " bytes";
        return false;
    }
    return true;
}

std::unique_ptr<collect::Store> OpenMigrated(const std::string& address, std::string& error) {
    auto db = collect::OpenStore(address, error);
    if (!db) return nullptr;
    auto store = std::make_unique<collect::Store>(std::move(db));
    if (!store->Migrate(error)) return nullptr;
    return store;
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "%s: %s\n", Program, what.c_str());
    return 1;
}

// A command's own arguments (its positional one and --store).
struct Command {
    std::string Store = "sqlite:events.db";
    std::string From, To;
};

std::optional<int> ReadCommand(const std::string& name, int argc, char** argv, Command& command) {
    hosthttp::CommandLine line;
    line.Program = std::string(Program) + " " + name;
    line.Version = QUELLOX_VERSION;
    line.Usage = UsageText();
    line.EnvironmentPrefix = "QUELLOX_COLLECT_";
    line.Flags = {{"store", [&](const std::string& v) { return command.Store = v, !v.empty(); }}};
    if (name == "funnel") {
        line.Flags.push_back({"from", [&](const std::string& v) { return command.From = v, collect::IsDay(v); }});
        line.Flags.push_back({"to", [&](const std::string& v) { return command.To = v, collect::IsDay(v); }});
    }
    return hosthttp::ReadCommandLine(line, argc, argv);
}

int ImportLogCommand(const std::string& path, const Command& command) {
    std::string error;
    auto store = OpenMigrated(command.Store, error);
    if (!store) return Fail(error);
    collect::ImportReport report;
    if (!collect::ImportLog(*store, path, report, error)) return Fail(error);
    std::printf("%s: %lld lines read (bytes %lld to %lld%s), %lld copies served, %lld new\n", path.c_str(),
                static_cast<long long>(report.Lines), static_cast<long long>(report.From),
                static_cast<long long>(report.To), report.Restarted ? ", the file was replaced: read from its start" : "",
                static_cast<long long>(report.Served), static_cast<long long>(report.Added));
    return 0;
}

int ForgetCommand(const std::string& clientID, const Command& command) {
    if (clientID.empty()) return Fail("forget needs the installation's CLIENT_ID");
    std::string error;
    auto store = OpenMigrated(command.Store, error);
    if (!store) return Fail(error);
    std::int64_t removed = 0;
    if (!store->Forget(clientID, removed, error)) return Fail(error);
    std::printf("%lld events of %s removed\n", static_cast<long long>(removed), clientID.c_str());
    return 0;
}

int FunnelCommand(Command command) {
    std::string error;
    auto store = OpenMigrated(command.Store, error);
    if (!store) return Fail(error);
    collect::FunnelQuery query{"", "", true, false, false};
    query.To = command.To.empty() ? collect::DayOf(std::time(nullptr)) : command.To;
    if (command.From.empty()) collect::AddDays(query.To, -89, query.From);
    else query.From = command.From;
    collect::FunnelResult result;
    if (!store->Funnel(query, result, error)) return Fail(error);
    std::printf("funnel %s to %s\n%-40s %8s %8s %8s %8s %9s %8s %10s\n", query.From.c_str(), query.To.c_str(),
                "campaign", "served", "started", "paused", "resumed", "cancelled", "finished", "conversion");
    for (const auto& row : result.Rows) {
        char conversion[16] = "-";
        if (row.Counts[0] > 0)
            std::snprintf(conversion, sizeof(conversion), "%.1f %%", 100.0 * static_cast<double>(row.Counts[4]) / static_cast<double>(row.Counts[0]));
        std::printf("%-40s %8lld %8lld %8lld %8lld %9lld %8lld %10s\n",
                    row.Campaign.empty() ? "(none)" : row.Campaign.substr(0, 40).c_str(),
                    static_cast<long long>(row.Served), static_cast<long long>(row.Counts[0]),
                    static_cast<long long>(row.Counts[1]), static_cast<long long>(row.Counts[2]),
                    static_cast<long long>(row.Counts[3]), static_cast<long long>(row.Counts[4]), conversion);
    }
    for (const auto& [key, count] : result.ErrorCodes)
        std::printf("served with error code %s (campaign %s): %lld\n", key.second.empty() ? "(none)" : key.second.c_str(),
                    key.first.empty() ? "(none)" : key.first.c_str(), static_cast<long long>(count));
    for (const auto& [reason, count] : result.Refused)
        std::printf("refused: %s: %lld\n", reason.c_str(), static_cast<long long>(count));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc >= 2 && (std::strcmp(argv[1], "import-log") == 0 || std::strcmp(argv[1], "forget") == 0 ||
                      std::strcmp(argv[1], "funnel") == 0)) {
        std::string name = argv[1];
        std::vector<char*> rest = {argv[0]};
        std::string positional;
        bool needsPositional = name != "funnel";
        for (int i = 2; i < argc; ++i) {
            if (needsPositional && positional.empty() && std::strncmp(argv[i], "--", 2) != 0) positional = argv[i];
            else rest.push_back(argv[i]);
        }
        Command command;
        if (auto exitCode = ReadCommand(name, static_cast<int>(rest.size()), rest.data(), command)) return *exitCode;
        if (needsPositional && positional.empty()) {
            std::fprintf(stderr, "%s %s: needs its %s\n%s", Program, name.c_str(),
                         name == "forget" ? "CLIENT_ID" : "FILE", UsageText().c_str());
            return 2;
        }
        if (name == "import-log") return ImportLogCommand(positional, command);
        if (name == "forget") return ForgetCommand(positional, command);
        return FunnelCommand(command);
    }

    collect::ServiceSettings settings;
    settings.Server.Program = Program;
    settings.Server.Port = 8090;
    std::string store = "sqlite:events.db", tokenPath, ga4ID = collect::defaults::GA4MeasurementID, ga4SecretPath;
    std::string trackingIDs = collect::defaults::TrackingID;
    unsigned retention = 400;
    hosthttp::CommandLine line;
    line.Program = Program;
    line.Version = QUELLOX_VERSION;
    line.Usage = UsageText();
    line.EnvironmentPrefix = "QUELLOX_COLLECT_";
    line.Flags = {
        {"store", [&](const std::string& v) { return store = v, !v.empty(); }},
        {"token", [&](const std::string& v) { return tokenPath = v, !v.empty(); }},
        {"tracking-id", [&](const std::string& v) { return trackingIDs = v, !v.empty(); }},
        {"ga4-id", [&](const std::string& v) { return ga4ID = v, true; }},
        {"ga4-secret", [&](const std::string& v) { return ga4SecretPath = v, !v.empty(); }},
        {"retention-days", [&](const std::string& v) { return hosthttp::ReadNumber(v, 100000, retention); }},
        {"sqlite-sync", [&](const std::string& v) {
             settings.Options.SqliteSyncFull = v == "full";
             return v == "full" || v == "normal";
         }},
    };
    hosthttp::AddServerFlags(line, settings.Server);
    if (auto exitCode = hosthttp::ReadCommandLine(line, argc, argv)) return *exitCode;

    std::string error;
    for (std::size_t at = 0; at <= trackingIDs.size();) {
        std::size_t comma = trackingIDs.find(',', at);
        if (comma == std::string::npos) comma = trackingIDs.size();
        if (comma > at) settings.App.Accepted.TrackingIDs.push_back(trackingIDs.substr(at, comma - at));
        at = comma + 1;
    }
    if (!ga4ID.empty()) {
        std::string secret = collect::defaults::GA4ApiSecret;
        if (!ga4SecretPath.empty() && !ReadSecretFile(ga4SecretPath, 1, secret, error)) return Fail(error);
        if (secret.empty()) return Fail("--ga4-id needs --ga4-secret");
        settings.App.Accepted.Streams.push_back({ga4ID, secret});
    }
    if (!tokenPath.empty() && !ReadSecretFile(tokenPath, 32, settings.App.Token, error)) return Fail(error);
    settings.Store = store;
    settings.RetentionDays = static_cast<int>(retention);
    return collect::Serve(settings);
}
