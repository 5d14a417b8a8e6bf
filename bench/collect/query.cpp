// The funnel query's time as events grow: fills a store with N events over
// the last 120 days (40 campaigns, 3 versions, the five events in fixed
// shares, 14 languages and none in equal shares), then times the 90-day
// funnel from the rollups, and the same
// figures counted from the events themselves (by their day index) for
// comparison. The fill goes into the database directly, not through the
// collector: one INSERT … SELECT over generated rows (PostgreSQL's
// generate_series, a recursive query in SQLite) in one transaction, then
// the per-day rollups of exactly those rows, counted per day, campaign,
// version, language and name as each rollup keys them and added as the
// writer adds its own; on PostgreSQL then
// VACUUM ANALYZE, as autovacuum would after such a fill.
//   collect_bench_query STORE EVENTS [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "host/collect/Store.h"

using namespace collect;
using Clock = std::chrono::steady_clock;

// The languages the installer's window shows, each in five characters, and
// the share of events that send none: the copies from before the
// translations.
static const char* const Languages = "en   de   fr   es   pt-brit   pl   ru   tr   ja   zh-cnko   ar   he   ";
constexpr int LanguageCount = 14;

// The events' columns from a random number per row, in either dialect.
static std::string Generated(Dialect dialect) {
    bool pg = dialect == Dialect::PostgreSQL;
    std::string r = pg ? "floor(random() * %d)::int" : "(abs(random()) %% %d)";
    auto pick = [&](int n) {
        char text[64];
        std::snprintf(text, sizeof(text), r.c_str(), n);
        return std::string(text);
    };
    std::string day = pg ? "to_char(to_timestamp(t) AT TIME ZONE 'UTC', 'YYYY-MM-DD')" : "strftime('%Y-%m-%d', t, 'unixepoch')";
    // The names' shares: start 40, pause 10, resume 8, cancel 12, finish 30.
    return "SELECT t, " + day + ", '{' || " + pick(1000000) + " || '}', '', CASE WHEN w < 40 THEN 'install_start'"
           " WHEN w < 50 THEN 'install_pause' WHEN w < 58 THEN 'install_resume' WHEN w < 70 THEN 'install_cancel'"
           " ELSE 'install_finish' END, 'quellox1.6.' || (7 + " + pick(3) + ") || 'restart', 'campaign-' || " +
           pick(40) + ", CASE WHEN " + pick(2) + " = 0 THEN 'a' ELSE 'b' END, '', 0, 'v1', rtrim(substr('" +
           Languages + "', 1 + 5 * " + pick(LanguageCount + 1) + ", 5))";
}

// Adds the events after id `after` to the rollup `table`, keyed by `columns`.
static bool Rollup(Connection& db, const std::string& table, const std::string& columns, const std::string& after,
                   std::string& error) {
    return db.Exec("INSERT INTO " + table + " (" + columns + ", count) SELECT " + columns + ", COUNT(*) FROM events"
                   " WHERE id > " + after + " GROUP BY " + columns + " ORDER BY " + columns + " ON CONFLICT (" + columns +
                   ") DO UPDATE SET count = " + table + ".count + excluded.count",
                   error);
}

static bool Fill(Store& store, long long have, long long events, std::int64_t now, std::string& error) {
    if (have >= events) return true;
    Connection& db = store.Db();
    bool pg = db.Kind() == Dialect::PostgreSQL;
    std::string count = std::to_string(events - have), start = std::to_string(now - 120 * 86400);
    std::string rows = pg ? "SELECT " + start + " + floor(random() * 120 * 86400)::bigint AS t, floor(random() * 100)::int AS w"
                            " FROM generate_series(1, " + count + ")"
                          : "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + count +
                                ") SELECT " + start + " + abs(random()) % (120 * 86400) AS t, abs(random()) % 100 AS w FROM n";
    // SQLite: room in memory for the indexes' pages that the random client
    // ids touch all over (a setting of this connection only).
    if (!pg && !db.Exec("PRAGMA cache_size=-1048576", error)) return false;
    std::vector<Row> last;
    if (!store.Begin(error) || !db.Exec("SELECT COALESCE(MAX(id), 0) FROM events", {}, &last, error)) return false;
    std::string after = last.empty() ? "0" : last[0][0];
    bool ok = db.Exec("INSERT INTO events (received_at, day, client_id, session_id, name, version, campaign, variant,"
                      " label, value, form, language) " + Generated(db.Kind()) + " FROM (" + rows + ") g",
                      error) &&
              Rollup(db, "event_days", "day, campaign, version, name", after, error) &&
              Rollup(db, "event_language_days", "day, campaign, version, language, name", after, error) &&
              Rollup(db, "language_days", "day, language, name", after, error) &&
              store.Commit(error);
    if (!ok) {
        store.Rollback();
        return false;
    }
    // As autovacuum would after so many new rows: the rollups' visibility
    // and every table's statistics; then a checkpoint, so that the timing
    // does not share the disk with the flush of the new rows.
    return !pg || (db.Exec("VACUUM ANALYZE event_days, event_language_days, language_days, served_days, refused_days",
                           error) &&
                   db.Exec("ANALYZE events", error) && db.Exec("CHECKPOINT", error));
}

static double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: collect_bench_query STORE EVENTS [RUNS]\n");
        return 2;
    }
    std::string error;
    auto db = OpenStore(argv[1], error);
    if (!db) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    Store store(std::move(db));
    if (!store.Migrate(error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    long long events = std::atoll(argv[2]);
    int runs = argc > 3 ? std::atoi(argv[3]) : 20;

    std::vector<Row> rows;
    store.Db().Exec("SELECT COUNT(*) FROM events", {}, &rows, error);
    long long have = rows.empty() ? 0 : std::atoll(rows[0][0].c_str());
    std::int64_t now = std::time(nullptr);
    auto fillStart = Clock::now();
    if (!Fill(store, have, events, now, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    double fillSeconds = Ms(Clock::now() - fillStart) / 1000;

    // The page's figures, then per campaign and language (from the rollup
    // with a row per language).
    FunnelQuery query{"", DayOf(now), true, true, true};
    AddDays(query.To, -89, query.From);
    FunnelQuery byLanguage{query.From, query.To, true, false, false, true};
    std::vector<double> rollup, languages, scan;
    for (int i = 0; i < runs; ++i) {
        for (auto [timed, times] : {std::pair{&query, &rollup}, {&byLanguage, &languages}}) {
            FunnelResult result;
            auto start = Clock::now();
            if (!store.Funnel(*timed, result, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
            FunnelJson(*timed, result);
            times->push_back(Ms(Clock::now() - start));
        }
    }
    for (int i = 0; i < std::max(1, runs / 5); ++i) {
        std::vector<Row> counted;
        auto start = Clock::now();
        if (!store.Db().Exec("SELECT day, campaign, version, name, COUNT(*) FROM events WHERE day >= ? AND day <= ?"
                             " GROUP BY day, campaign, version, name",
                             {query.From, query.To}, &counted, error))
            return std::fprintf(stderr, "%s\n", error.c_str()), 1;
        scan.push_back(Ms(Clock::now() - start));
    }
    std::sort(rollup.begin(), rollup.end());
    std::sort(languages.begin(), languages.end());
    std::sort(scan.begin(), scan.end());
    std::printf("events %lld fill_s %.1f funnel_90d_ms %.2f by_language_ms %.2f from_events_ms %.1f\n", events,
                fillSeconds, rollup[rollup.size() / 2], languages[languages.size() / 2], scan[scan.size() / 2]);
    return 0;
}
