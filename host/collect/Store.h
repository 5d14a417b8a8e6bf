// The collector's data: events, served copies, refusals and their per-day
// rollups, in one schema for SQLite and PostgreSQL. The schema's versions are
// applied in order at start. Every write runs inside a transaction of its
// caller's (Begin/Commit), so that an event and its rollup are stored
// together or not at all.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/collect/Database.h"
#include "host/collect/Event.h"

namespace collect {

// "YYYY-MM-DD" of a Unix time, in UTC.
std::string DayOf(std::int64_t unixSeconds);
// The day `days` after (or before) `day`; false when `day` is no date.
bool AddDays(const std::string& day, int days, std::string& result);
bool IsDay(const std::string& text);

struct StoredEvent {
    Event Fields;
    std::int64_t ReceivedAt = 0;  // Unix seconds, the collector's clock
    std::string Form;             // "v1" or "ga4"
};

// One copy that quellox-stampd served, read from its access log.
struct ServedCopy {
    std::string Key;  // the log line's own digest: the same line is stored once
    std::int64_t ServedAt = 0;
    std::string Campaign;  // the stamped cookie
    std::string ErrorCode, Linker, Partner, Traffic, FileName;
};

struct FunnelQuery {
    std::string From, To;  // days, both included
    bool ByCampaign = true, ByVersion = true, ByDay = true;
    bool ByLanguage = false;
};

struct FunnelRow {
    std::string Day, Campaign, Version, Language;  // empty where not grouped
    std::int64_t Served = 0;
    std::int64_t Counts[EventNameCount] = {};  // starts, pauses, resumes, cancels, finishes
};

struct FunnelResult {
    std::vector<FunnelRow> Rows;                                 // sorted by day, campaign, version, language
    std::map<std::string, std::int64_t> DailyCounts[EventNameCount];  // by day, for the chart
    std::map<std::string, std::int64_t> DailyServed;
    // Served copies per campaign and error code (from the copies' names).
    std::map<std::pair<std::string, std::string>, std::int64_t> ErrorCodes;
    std::map<std::string, std::int64_t> Refused;  // by reason
    // The events' counts per language ("" where none was sent), for the page.
    std::map<std::string, std::array<std::int64_t, EventNameCount>> Languages;
};

class Store {
public:
    explicit Store(std::unique_ptr<Connection> connection) : db_(std::move(connection)) {}

    // Brings the schema to the latest version; safe when several collectors
    // start at once on one PostgreSQL database.
    bool Migrate(std::string& error);
    static int LatestVersion();
    bool Version(int& version, std::string& error);

    bool Begin(std::string& error);
    bool Commit(std::string& error);
    void Rollback();
    Connection& Db() { return *db_; }

    bool AddEvents(const std::vector<StoredEvent>& events, std::string& error);
    bool AddRefusals(const std::map<std::pair<std::string, std::string>, std::int64_t>& counts, std::string& error);
    // Copies already stored (the same line key) are skipped; `added` counts the new ones.
    bool AddServed(const std::vector<ServedCopy>& copies, std::int64_t& added, std::string& error);

    // Where an import of `source` stopped: a byte position and the digest of
    // the file's first line, which tells a rotated file from the same one.
    bool ImportPosition(const std::string& source, std::int64_t& position, std::string& head, std::string& error);
    bool SetImportPosition(const std::string& source, std::int64_t position, const std::string& head,
                           std::string& error);

    // Each in a transaction of its own.
    bool Forget(const std::string& clientID, std::int64_t& removed, std::string& error);
    bool DeleteBefore(const std::string& firstDayKept, std::int64_t& removed, std::string& error);

    bool Funnel(const FunnelQuery& query, FunnelResult& result, std::string& error);

private:
    bool InTransaction(bool (Store::*body)(std::string&, std::int64_t&, const std::string&), const std::string& arg,
                       std::int64_t& count, std::string& error);
    bool ForgetBody(std::string& error, std::int64_t& removed, const std::string& clientID);
    bool DeleteBeforeBody(std::string& error, std::int64_t& removed, const std::string& firstDayKept);

    std::unique_ptr<Connection> db_;
};

// The funnel as the JSON of GET /api/funnel.
std::string FunnelJson(const FunnelQuery& query, const FunnelResult& result);

}  // namespace collect
