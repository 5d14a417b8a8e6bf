// The collector's schema, its migrations and every read and write.
#include "host/collect/Store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <tuple>
#include <unordered_map>

#include "host/collect/Json.h"

namespace collect {

namespace {

// The schema, one list of statements per version, in order. "{ID}" is each
// dialect's own row identifier. Never change a version once released: add
// the next one.
const std::vector<std::vector<std::string>>& Migrations() {
    static const std::vector<std::vector<std::string>> migrations = {
        // 1: events, served copies, refusals, their per-day rollups, imports.
        {
            "CREATE TABLE events (id {ID}, received_at BIGINT NOT NULL, day TEXT NOT NULL, client_id TEXT NOT NULL,"
            " session_id TEXT NOT NULL, name TEXT NOT NULL, version TEXT NOT NULL, campaign TEXT NOT NULL,"
            " variant TEXT NOT NULL, label TEXT NOT NULL, value INTEGER NOT NULL, form TEXT NOT NULL)",
            "CREATE INDEX events_client_id ON events (client_id)",
            "CREATE INDEX events_day ON events (day)",
            "CREATE TABLE event_days (day TEXT NOT NULL, campaign TEXT NOT NULL, version TEXT NOT NULL,"
            " name TEXT NOT NULL, count BIGINT NOT NULL, PRIMARY KEY (day, campaign, version, name))",
            "CREATE TABLE served (id {ID}, line_key TEXT NOT NULL UNIQUE, served_at BIGINT NOT NULL, day TEXT NOT NULL,"
            " campaign TEXT NOT NULL, error_code TEXT NOT NULL, linker TEXT NOT NULL, partner TEXT NOT NULL,"
            " traffic TEXT NOT NULL, file_name TEXT NOT NULL)",
            "CREATE INDEX served_day ON served (day)",
            "CREATE TABLE served_days (day TEXT NOT NULL, campaign TEXT NOT NULL, error_code TEXT NOT NULL,"
            " count BIGINT NOT NULL, PRIMARY KEY (day, campaign, error_code))",
            "CREATE TABLE refused_days (day TEXT NOT NULL, reason TEXT NOT NULL, count BIGINT NOT NULL,"
            " PRIMARY KEY (day, reason))",
            "CREATE TABLE imports (source TEXT PRIMARY KEY, position BIGINT NOT NULL, head TEXT NOT NULL)",
        },
        // 2: the language of the installer's window on the events, and two
        // rollups by it: per day, campaign, version, language and name for
        // the figures grouped by language, and per day, language and name for
        // the page's table. The events from before have none ('').
        {
            "ALTER TABLE events ADD COLUMN language TEXT NOT NULL DEFAULT ''",
            "CREATE TABLE event_language_days (day TEXT NOT NULL, campaign TEXT NOT NULL, version TEXT NOT NULL,"
            " language TEXT NOT NULL, name TEXT NOT NULL, count BIGINT NOT NULL,"
            " PRIMARY KEY (day, campaign, version, language, name))",
            "INSERT INTO event_language_days (day, campaign, version, language, name, count)"
            " SELECT day, campaign, version, '', name, count FROM event_days",
            "CREATE TABLE language_days (day TEXT NOT NULL, language TEXT NOT NULL, name TEXT NOT NULL,"
            " count BIGINT NOT NULL, PRIMARY KEY (day, language, name))",
            "INSERT INTO language_days (day, language, name, count)"
            " SELECT day, '', name, SUM(count) FROM event_days GROUP BY day, name",
        },
    };
    return migrations;
}

std::string InDialect(std::string sql, Dialect dialect) {
    std::size_t at = sql.find("{ID}");
    if (at != std::string::npos)
        sql.replace(at, 4, dialect == Dialect::SQLite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY");
    return sql;
}

std::int64_t Number(const std::string& text) {
    try {
        return text.empty() ? 0 : std::stoll(text);
    } catch (...) {
        return 0;
    }
}

// The events' per-day rollups: a table and the columns of its key. The page
// reads event_days and language_days, which do not grow with the number of
// languages and of campaigns respectively; event_language_days only serves
// the figures grouped by language.
struct RollupTable {
    const char* Name;
    std::vector<std::string> Columns;
};
const RollupTable EventDays{"event_days", {"day", "campaign", "version", "name"}};
const RollupTable EventLanguageDays{"event_language_days", {"day", "campaign", "version", "language", "name"}};
const RollupTable LanguageDays{"language_days", {"day", "language", "name"}};

// Counts by a rollup's key, in key order.
using Rollup = std::map<std::vector<std::string>, std::int64_t>;

// Adds each count of `counts` to `table`, in key order: collectors that share
// a database take the rows' locks in one order and never wait on each other
// in a circle.
bool AddToRollup(Connection& db, const RollupTable& table, const Rollup& counts, std::string& error) {
    std::string name = table.Name, columns, marks;
    for (const std::string& column : table.Columns) {
        columns += (columns.empty() ? "" : ", ") + column;
        marks += "?, ";
    }
    std::string sql = "INSERT INTO " + name + " (" + columns + ", count) VALUES (" + marks + "?) ON CONFLICT (" +
                      columns + ") DO UPDATE SET count = " + name + ".count + excluded.count";
    for (const auto& [key, count] : counts) {
        std::vector<Param> params(key.begin(), key.end());
        params.emplace_back(count);
        if (!db.Exec(sql, params, nullptr, error)) return false;
    }
    return true;
}

// Takes each count of `counts` from `table`, in key order, and drops the rows
// left at nothing.
bool TakeFromRollup(Connection& db, const RollupTable& table, const Rollup& counts, std::string& error) {
    std::string name = table.Name, match;
    for (const std::string& column : table.Columns) match += (match.empty() ? "" : " AND ") + column + " = ?";
    std::string sql = "UPDATE " + name + " SET count = count - ? WHERE " + match;
    for (const auto& [key, count] : counts) {
        std::vector<Param> params{count};
        params.insert(params.end(), key.begin(), key.end());
        if (!db.Exec(sql, params, nullptr, error)) return false;
    }
    return db.Exec("DELETE FROM " + name + " WHERE count <= 0", error);
}

constexpr std::size_t RowsPerInsert = 50;
constexpr int MaxPeriodDays = 800;

}  // namespace

std::string DayOf(std::int64_t unixSeconds) {
    std::time_t seconds = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
    return text;
}

bool IsDay(const std::string& text) {
    std::string ignored;
    return AddDays(text, 0, ignored);
}

bool AddDays(const std::string& day, int days, std::string& result) {
    if (day.size() != 10 || day[4] != '-' || day[7] != '-') return false;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (day[i] < '0' || day[i] > '9') return false;
    using namespace std::chrono;
    year_month_day date{year(std::stoi(day.substr(0, 4))), month(static_cast<unsigned>(std::stoi(day.substr(5, 2)))),
                        std::chrono::day(static_cast<unsigned>(std::stoi(day.substr(8, 2))))};
    if (!date.ok()) return false;
    year_month_day moved{sys_days(date) + std::chrono::days(days)};
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02u", static_cast<int>(moved.year()),
                  static_cast<unsigned>(moved.month()), static_cast<unsigned>(moved.day()));
    result = text;
    return true;
}

int Store::LatestVersion() { return static_cast<int>(Migrations().size()); }

bool Store::Begin(std::string& error) {
    return db_->Exec(db_->Kind() == Dialect::SQLite ? "BEGIN IMMEDIATE" : "BEGIN", error);
}

bool Store::Commit(std::string& error) { return db_->Exec("COMMIT", error); }

void Store::Rollback() {
    std::string ignored;
    db_->Exec("ROLLBACK", ignored);
}

bool Store::Version(int& version, std::string& error) {
    std::vector<Row> rows;
    if (!db_->Exec("SELECT COALESCE(MAX(version), 0) FROM schema_migrations", {}, &rows, error)) return false;
    version = rows.empty() ? 0 : static_cast<int>(Number(rows[0][0]));
    return true;
}

bool Store::Migrate(std::string& error) {
    if (!Begin(error)) return false;
    auto fail = [&] {
        Rollback();
        return false;
    };
    // Collectors starting together on one database take turns here.
    if (db_->Kind() == Dialect::PostgreSQL && !db_->Exec("SELECT pg_advisory_xact_lock(7319001)", {}, nullptr, error))
        return fail();
    if (!db_->Exec("CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY, applied_at BIGINT NOT NULL)",
                   error))
        return fail();
    int current = 0;
    if (!Version(current, error)) return fail();
    if (current > LatestVersion()) {
        error = "the database's schema is version " + std::to_string(current) + ", newer than this collector's (" +
                std::to_string(LatestVersion()) + ")";
        return fail();
    }
    for (int version = current + 1; version <= LatestVersion(); ++version) {
        for (const std::string& statement : Migrations()[static_cast<std::size_t>(version - 1)]) {
            if (!db_->Exec(InDialect(statement, db_->Kind()), error)) {
                error = "schema version " + std::to_string(version) + ": " + error;
                return fail();
            }
        }
        if (!db_->Exec("INSERT INTO schema_migrations (version, applied_at) VALUES (?, ?)",
                       {std::int64_t{version}, std::int64_t{std::time(nullptr)}}, nullptr, error))
            return fail();
    }
    if (!Commit(error)) return fail();
    return true;
}

bool Store::AddEvents(const std::vector<StoredEvent>& events, std::string& error) {
    static const std::string head =
        "INSERT INTO events (received_at, day, client_id, session_id, name, version, campaign, variant, label, value,"
        " form, language) VALUES ";
    Rollup byVersion, byLanguage, languages;
    for (std::size_t first = 0; first < events.size(); first += RowsPerInsert) {
        std::size_t end = std::min(events.size(), first + RowsPerInsert);
        std::string sql = head;
        std::vector<Param> params;
        for (std::size_t i = first; i < end; ++i) {
            const StoredEvent& e = events[i];
            const Event& f = e.Fields;
            std::string day = DayOf(e.ReceivedAt);
            sql += i == first ? "(?,?,?,?,?,?,?,?,?,?,?,?)" : ",(?,?,?,?,?,?,?,?,?,?,?,?)";
            params.insert(params.end(), {e.ReceivedAt, day, f.ClientID, f.SessionID, f.Name, f.Version, f.Campaign,
                                         f.Variant, f.Label, std::int64_t{f.Value}, e.Form, f.Language});
            ++byVersion[{day, f.Campaign, f.Version, f.Name}];
            ++byLanguage[{day, f.Campaign, f.Version, f.Language, f.Name}];
            ++languages[{day, f.Language, f.Name}];
        }
        if (!db_->Exec(sql, params, nullptr, error)) return false;
    }
    // The rollups summed per commit: one upsert per key, not per event.
    return AddToRollup(*db_, EventDays, byVersion, error) && AddToRollup(*db_, EventLanguageDays, byLanguage, error) &&
           AddToRollup(*db_, LanguageDays, languages, error);
}

bool Store::AddRefusals(const std::map<std::pair<std::string, std::string>, std::int64_t>& counts, std::string& error) {
    for (const auto& [key, count] : counts) {
        if (!db_->Exec("INSERT INTO refused_days (day, reason, count) VALUES (?, ?, ?)"
                       " ON CONFLICT (day, reason) DO UPDATE SET count = refused_days.count + excluded.count",
                       {key.first, key.second, count}, nullptr, error))
            return false;
    }
    return true;
}

bool Store::AddServed(const std::vector<ServedCopy>& copies, std::int64_t& added, std::string& error) {
    std::map<std::tuple<std::string, std::string, std::string>, std::int64_t> rollup;
    added = 0;
    for (const ServedCopy& c : copies) {
        std::string day = DayOf(c.ServedAt);
        std::vector<Row> rows;
        if (!db_->Exec("INSERT INTO served (line_key, served_at, day, campaign, error_code, linker, partner, traffic,"
                       " file_name) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (line_key) DO NOTHING RETURNING id",
                       {c.Key, c.ServedAt, day, c.Campaign, c.ErrorCode, c.Linker, c.Partner, c.Traffic, c.FileName},
                       &rows, error))
            return false;
        if (rows.empty()) continue;
        ++added;
        ++rollup[{day, c.Campaign, c.ErrorCode}];
    }
    for (const auto& [key, count] : rollup) {
        const auto& [day, campaign, errorCode] = key;
        if (!db_->Exec("INSERT INTO served_days (day, campaign, error_code, count) VALUES (?, ?, ?, ?)"
                       " ON CONFLICT (day, campaign, error_code) DO UPDATE SET count = served_days.count + excluded.count",
                       {day, campaign, errorCode, count}, nullptr, error))
            return false;
    }
    return true;
}

bool Store::ImportPosition(const std::string& source, std::int64_t& position, std::string& head, std::string& error) {
    std::vector<Row> rows;
    if (!db_->Exec("SELECT position, head FROM imports WHERE source = ?", {source}, &rows, error)) return false;
    position = rows.empty() ? 0 : Number(rows[0][0]);
    head = rows.empty() ? "" : rows[0][1];
    return true;
}

bool Store::SetImportPosition(const std::string& source, std::int64_t position, const std::string& head,
                              std::string& error) {
    return db_->Exec("INSERT INTO imports (source, position, head) VALUES (?, ?, ?)"
                     " ON CONFLICT (source) DO UPDATE SET position = excluded.position, head = excluded.head",
                     {source, position, head}, nullptr, error);
}

bool Store::InTransaction(bool (Store::*body)(std::string&, std::int64_t&, const std::string&), const std::string& arg,
                          std::int64_t& count, std::string& error) {
    if (!Begin(error)) return false;
    if (!(this->*body)(error, count, arg) || !Commit(error)) {
        Rollback();
        return false;
    }
    return true;
}

bool Store::Forget(const std::string& clientID, std::int64_t& removed, std::string& error) {
    return InTransaction(&Store::ForgetBody, clientID, removed, error);
}

bool Store::ForgetBody(std::string& error, std::int64_t& removed, const std::string& clientID) {
    std::vector<Row> groups;
    if (!db_->Exec("SELECT day, campaign, version, language, name, COUNT(*) FROM events WHERE client_id = ?"
                   " GROUP BY day, campaign, version, language, name",
                   {clientID}, &groups, error))
        return false;
    removed = 0;
    Rollup byVersion, byLanguage, languages;
    for (const Row& g : groups) {
        const std::string &day = g[0], &campaign = g[1], &version = g[2], &language = g[3], &name = g[4];
        std::int64_t count = Number(g[5]);
        removed += count;
        byVersion[{day, campaign, version, name}] += count;
        byLanguage[{day, campaign, version, language, name}] += count;
        languages[{day, language, name}] += count;
    }
    return TakeFromRollup(*db_, EventDays, byVersion, error) &&
           TakeFromRollup(*db_, EventLanguageDays, byLanguage, error) &&
           TakeFromRollup(*db_, LanguageDays, languages, error) &&
           db_->Exec("DELETE FROM events WHERE client_id = ?", {clientID}, nullptr, error);
}

bool Store::DeleteBefore(const std::string& firstDayKept, std::int64_t& removed, std::string& error) {
    return InTransaction(&Store::DeleteBeforeBody, firstDayKept, removed, error);
}

bool Store::DeleteBeforeBody(std::string& error, std::int64_t& removed, const std::string& firstDayKept) {
    std::vector<Row> rows;
    if (!db_->Exec("SELECT COUNT(*) FROM events WHERE day < ?", {firstDayKept}, &rows, error)) return false;
    removed = rows.empty() ? 0 : Number(rows[0][0]);
    for (const char* table :
         {"events", "event_days", "event_language_days", "language_days", "served", "served_days", "refused_days"}) {
        if (!db_->Exec(std::string("DELETE FROM ") + table + " WHERE day < ?", {firstDayKept}, nullptr, error))
            return false;
    }
    return true;
}

bool Store::Funnel(const FunnelQuery& query, FunnelResult& result, std::string& error) {
    std::string last;
    if (!IsDay(query.From) || !IsDay(query.To)) {
        error = "from and to are days, YYYY-MM-DD";
        return false;
    }
    if (query.From > query.To) {
        error = "from is after to";
        return false;
    }
    if (AddDays(query.From, MaxPeriodDays, last) && query.To >= last) {
        error = "the period is longer than " + std::to_string(MaxPeriodDays) + " days";
        return false;
    }
    result = FunnelResult{};
    // Rows by their group's key, in the order first seen; sorted at the end.
    std::unordered_map<std::string, std::size_t> grouped;
    std::string key;
    auto rowFor = [&](const std::string& day, const std::string& campaign, const std::string& version,
                      const std::string& language) -> FunnelRow& {
        key.clear();
        if (query.ByDay) key += day;
        key += '\x1f';
        if (query.ByCampaign) key += campaign;
        key += '\x1f';
        if (query.ByVersion) key += version;
        key += '\x1f';
        if (query.ByLanguage) key += language;
        auto [at, added] = grouped.try_emplace(key, result.Rows.size());
        if (added) {
            FunnelRow& row = result.Rows.emplace_back();
            if (query.ByDay) row.Day = day;
            if (query.ByCampaign) row.Campaign = campaign;
            if (query.ByVersion) row.Version = version;
            if (query.ByLanguage) row.Language = language;
        }
        return result.Rows[at->second];
    };
    // Split by language only when asked. By language and day alone, the
    // small rollup holds the figures; with the campaign or the version, the
    // one with a row per language where event_days has one, which the
    // database first sums by the groups asked for (and the day, for the
    // chart).
    std::string sql = "SELECT day, campaign, version, '', name, count FROM event_days WHERE day >= ? AND day <= ?";
    if (query.ByLanguage && !query.ByCampaign && !query.ByVersion) {
        sql = "SELECT day, '', '', language, name, count FROM language_days WHERE day >= ? AND day <= ?";
    } else if (query.ByLanguage) {
        std::string campaign = query.ByCampaign ? "campaign" : "''", version = query.ByVersion ? "version" : "''";
        std::string groups = std::string("day, ") + (query.ByCampaign ? "campaign, " : "") +
                             (query.ByVersion ? "version, " : "") + "language, name";
        sql = "SELECT day, " + campaign + ", " + version + ", language, name, SUM(count) FROM event_language_days"
              " WHERE day >= ? AND day <= ? GROUP BY " + groups;
    }
    std::vector<Row> rows;
    if (!db_->Exec(sql, {query.From, query.To}, &rows, error)) return false;
    for (const Row& r : rows) {
        int index = EventIndex(r[4]);
        if (index < 0) continue;
        std::int64_t count = Number(r[5]);
        rowFor(r[0], r[1], r[2], r[3]).Counts[index] += count;
        result.DailyCounts[index][r[0]] += count;
    }
    rows.clear();
    if (!db_->Exec("SELECT language, name, SUM(count) FROM language_days WHERE day >= ? AND day <= ?"
                   " GROUP BY language, name",
                   {query.From, query.To}, &rows, error))
        return false;
    for (const Row& r : rows) {
        int index = EventIndex(r[1]);
        if (index >= 0) result.Languages[r[0]][static_cast<std::size_t>(index)] += Number(r[2]);
    }
    rows.clear();
    if (!db_->Exec("SELECT day, campaign, error_code, count FROM served_days WHERE day >= ? AND day <= ?",
                   {query.From, query.To}, &rows, error))
        return false;
    for (const Row& r : rows) {
        std::int64_t count = Number(r[3]);
        // Served copies carry no version and no language: they stand in the
        // campaign's row without either.
        rowFor(r[0], r[1], "", "").Served += count;
        result.DailyServed[r[0]] += count;
        result.ErrorCodes[{r[1], r[2]}] += count;
    }
    rows.clear();
    if (!db_->Exec("SELECT reason, SUM(count) FROM refused_days WHERE day >= ? AND day <= ? GROUP BY reason",
                   {query.From, query.To}, &rows, error))
        return false;
    for (const Row& r : rows) result.Refused[r[0]] = Number(r[1]);
    std::sort(result.Rows.begin(), result.Rows.end(), [](const FunnelRow& a, const FunnelRow& b) {
        return std::tie(a.Day, a.Campaign, a.Version, a.Language) < std::tie(b.Day, b.Campaign, b.Version, b.Language);
    });
    return true;
}

std::string FunnelJson(const FunnelQuery& query, const FunnelResult& result) {
    static constexpr const char* Plural[EventNameCount] = {"starts", "pauses", "resumes", "cancels", "finishes"};
    // The events' counts and the conversion from start to finish.
    auto events = [&](std::string& out, const std::int64_t* c) {
        for (int i = 0; i < EventNameCount; ++i)
            out += (i ? ",\"" : "\"") + std::string(Plural[i]) + "\":" + std::to_string(c[i]);
        char conversion[32] = "null";
        if (c[0] > 0) std::snprintf(conversion, sizeof(conversion), "%.4f", static_cast<double>(c[4]) / c[0]);
        out += ",\"conversion\":" + std::string(conversion);
    };
    auto counts = [&](std::string& out, std::int64_t served, const std::int64_t* c) {
        out += "\"served\":" + std::to_string(served) + ",";
        events(out, c);
    };
    std::string out = "{\"from\":" + json::Quote(query.From) + ",\"to\":" + json::Quote(query.To) + ",\"group\":[";
    bool first = true;
    for (auto [on, name] : {std::pair{query.ByCampaign, "campaign"}, {query.ByVersion, "version"}, {query.ByDay, "day"},
                            {query.ByLanguage, "language"}}) {
        if (!on) continue;
        out += first ? "\"" : ",\"";
        out += std::string(name) + "\"";
        first = false;
    }
    out += "],\"rows\":[";
    std::int64_t totalServed = 0, total[EventNameCount] = {};
    for (std::size_t i = 0; i < result.Rows.size(); ++i) {
        const FunnelRow& row = result.Rows[i];
        out += i ? ",{" : "{";
        if (query.ByDay) out += "\"day\":" + json::Quote(row.Day) + ",";
        if (query.ByCampaign) out += "\"campaign\":" + json::Quote(row.Campaign) + ",";
        if (query.ByVersion) out += "\"version\":" + json::Quote(row.Version) + ",";
        if (query.ByLanguage) out += "\"language\":" + json::Quote(row.Language) + ",";
        counts(out, row.Served, row.Counts);
        out += "}";
        totalServed += row.Served;
        for (int k = 0; k < EventNameCount; ++k) total[k] += row.Counts[k];
    }
    out += "],\"totals\":{";
    counts(out, totalServed, total);
    // The events per language, whatever the grouping (no served copies: a
    // copy's language is chosen when it runs).
    out += "},\"languages\":[";
    first = true;
    for (const auto& [language, c] : result.Languages) {
        out += first ? "{" : ",{";
        out += "\"language\":" + json::Quote(language) + ",";
        events(out, c.data());
        out += "}";
        first = false;
    }
    out += "],\"daily\":[";
    std::string day = query.From;
    for (bool firstDay = true; day <= query.To; firstDay = false) {
        std::int64_t c[EventNameCount] = {};
        for (int k = 0; k < EventNameCount; ++k) {
            auto found = result.DailyCounts[k].find(day);
            c[k] = found == result.DailyCounts[k].end() ? 0 : found->second;
        }
        auto served = result.DailyServed.find(day);
        out += firstDay ? "{" : ",{";
        out += "\"day\":" + json::Quote(day) + ",";
        counts(out, served == result.DailyServed.end() ? 0 : served->second, c);
        out += "}";
        if (!AddDays(day, 1, day)) break;
    }
    out += "],\"error_codes\":[";
    first = true;
    for (const auto& [key, count] : result.ErrorCodes) {
        out += first ? "{" : ",{";
        out += "\"campaign\":" + json::Quote(key.first) + ",\"error_code\":" + json::Quote(key.second) +
               ",\"served\":" + std::to_string(count) + "}";
        first = false;
    }
    out += "],\"refused\":[";
    first = true;
    for (const auto& [reason, count] : result.Refused) {
        out += first ? "{" : ",{";
        out += "\"reason\":" + json::Quote(reason) + ",\"count\":" + std::to_string(count) + "}";
        first = false;
    }
    return out + "]}";
}

}  // namespace collect
