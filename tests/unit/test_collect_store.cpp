// The collector's store, on SQLite and on a real PostgreSQL server (its
// address in QUELLOX_TEST_POSTGRESQL, set by tests/tools/with-postgresql.sh;
// without it those cases are skipped): migrations, the funnel and its
// rollups, forgetting a client, retention, the stamping service's log, and
// the group-committing writer.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "host/collect/AccessLog.h"
#include "host/collect/Store.h"
#include "host/collect/Writer.h"

namespace {

using namespace collect;

// 2026-12-10T00:00:00Z and the days around it.
constexpr std::int64_t Day0 = 1796860800;
constexpr std::int64_t DaySeconds = 86400;

StoredEvent MakeEvent(const std::string& name, const std::string& campaign, std::int64_t at,
                      const std::string& client = "{C1}", const std::string& version = "quellox1.6.9restart",
                      const std::string& language = "") {
    StoredEvent e;
    e.Fields.Name = name;
    e.Fields.Language = language;
    e.Fields.Campaign = campaign;
    e.Fields.Version = version;
    e.Fields.ClientID = client;
    e.Fields.Variant = "a";
    e.ReceivedAt = at;
    e.Form = "v1";
    return e;
}

std::int64_t Scalar(Store& store, const std::string& sql) {
    std::vector<Row> rows;
    std::string error;
    EXPECT_TRUE(store.Db().Exec(sql, {}, &rows, error)) << error;
    return rows.empty() || rows[0].empty() || rows[0][0].empty() ? 0 : std::stoll(rows[0][0]);
}

class CollectStore : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "PostgreSQL") {
            const char* address = std::getenv("QUELLOX_TEST_POSTGRESQL");
            if (address == nullptr) GTEST_SKIP() << "no PostgreSQL server (tests/tools/with-postgresql.sh starts one)";
            address_ = address;
            std::string error;
            auto db = OpenStore(address_, error);
            ASSERT_TRUE(db) << error;
            ASSERT_TRUE(db->Exec("DROP SCHEMA public CASCADE", error)) << error;
            ASSERT_TRUE(db->Exec("CREATE SCHEMA public", error)) << error;
        } else {
            char pattern[] = "/tmp/quellox-collect-test.XXXXXX";
            ASSERT_NE(mkdtemp(pattern), nullptr);
            folder_ = pattern;
            address_ = "sqlite:" + folder_ + "/events.db";
        }
    }
    void TearDown() override {
        if (!folder_.empty()) std::filesystem::remove_all(folder_);
    }

    std::unique_ptr<Store> Open() {
        std::string error;
        auto db = OpenStore(address_, error);
        EXPECT_TRUE(db) << error;
        if (!db) return nullptr;
        auto store = std::make_unique<Store>(std::move(db));
        EXPECT_TRUE(store->Migrate(error)) << error;
        return store;
    }

    void Add(Store& store, const std::vector<StoredEvent>& events) {
        std::string error;
        ASSERT_TRUE(store.Begin(error)) << error;
        ASSERT_TRUE(store.AddEvents(events, error)) << error;
        ASSERT_TRUE(store.Commit(error)) << error;
    }

    std::string LogFile(const std::string& name) {
        if (folder_.empty()) {
            char pattern[] = "/tmp/quellox-collect-test.XXXXXX";
            EXPECT_NE(mkdtemp(pattern), nullptr);
            folder_ = pattern;
        }
        return folder_ + "/" + name;
    }

    std::string address_, folder_;
};

// The schema's first version, as collectors before the events' language
// created it. Kept here as it was released: a store of theirs must open.
const char* const FirstVersion[] = {
    "CREATE TABLE schema_migrations (version INTEGER PRIMARY KEY, applied_at BIGINT NOT NULL)",
    "INSERT INTO schema_migrations (version, applied_at) VALUES (1, 1796860800)",
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
    // Its rows: two events of one client and their rollups.
    "INSERT INTO events (received_at, day, client_id, session_id, name, version, campaign, variant, label, value, form)"
    " VALUES (1796860810, '2026-12-10', '{OLD}', '', 'install_start', 'quellox1.6.9restart', 'spring', 'a', '', 0, 'v1'),"
    " (1796860820, '2026-12-10', '{OLD}', '', 'install_finish', 'quellox1.6.9restart', 'spring', 'a', '', 0, 'v1')",
    "INSERT INTO event_days (day, campaign, version, name, count) VALUES"
    " ('2026-12-10', 'spring', 'quellox1.6.9restart', 'install_start', 1),"
    " ('2026-12-10', 'spring', 'quellox1.6.9restart', 'install_finish', 1)",
};

std::vector<std::int64_t> Counts(const FunnelRow& row) { return {row.Counts, row.Counts + EventNameCount}; }

std::string ServedLine(const std::string& time, const std::string& name, const std::string& cookie,
                       const std::string& tail = "", const std::string& status = "200", const std::string& sig = "valid") {
    return time + " 127.0.0.1 GET \"/" + name + "?cookie=" + cookie + "&sig=ab\" " + status + " 195224 3.1ms sig=" + sig +
           " name=\"" + name + "\" cookie=\"" + cookie + "\" partner=\"p17\" traffic=\"\"" + tail + "\n";
}

}  // namespace

TEST_P(CollectStore, MigrationsAreAppliedOnceAndANewerSchemaIsRefused) {
    auto store = Open();
    ASSERT_TRUE(store);
    int version = 0;
    std::string error;
    ASSERT_TRUE(store->Version(version, error)) << error;
    EXPECT_EQ(version, Store::LatestVersion());
    store = Open();  // a second start changes nothing
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM schema_migrations"), Store::LatestVersion());
    ASSERT_TRUE(store->Db().Exec("INSERT INTO schema_migrations (version, applied_at) VALUES (99, 0)", error)) << error;
    EXPECT_FALSE(store->Migrate(error));
    EXPECT_EQ(error, "the database's schema is version 99, newer than this collector's (" +
                         std::to_string(Store::LatestVersion()) + ")");
}

TEST_P(CollectStore, FunnelPerCampaignVersionAndDayWithServedCopies) {
    auto store = Open();
    ASSERT_TRUE(store);
    Add(*store, {MakeEvent("install_start", "spring", Day0 + 10), MakeEvent("install_start", "spring", Day0 + 20, "{C2}"),
                 MakeEvent("install_pause", "spring", Day0 + 30), MakeEvent("install_resume", "spring", Day0 + 40),
                 MakeEvent("install_finish", "spring", Day0 + 50), MakeEvent("install_cancel", "spring", Day0 + 60, "{C2}"),
                 MakeEvent("install_start", "spring", Day0 + DaySeconds, "{C3}", "quellox1.7.0restart"),
                 MakeEvent("install_start", "", Day0 + 5),
                 // Outside the period.
                 MakeEvent("install_start", "spring", Day0 - 200 * DaySeconds)});
    std::string log = LogFile("stampd.log");
    std::ofstream(log) << ServedLine("2026-12-10T08:00:00.001Z", "qlx_E12-setup_forum.exe", "spring")
                       << ServedLine("2026-12-10T08:00:01.001Z", "qlx-setup.exe", "spring")
                       << ServedLine("2026-12-11T08:00:01.001Z", "qlx_E40-setup.exe", "autumn");
    ImportReport report;
    std::string error;
    ASSERT_TRUE(ImportLog(*store, log, report, error)) << error;

    FunnelQuery query{"2026-09-12", "2026-12-10"};
    FunnelResult result;
    ASSERT_TRUE(store->Funnel(query, result, error)) << error;
    ASSERT_EQ(result.Rows.size(), 3u);
    // The day's rows: campaign "", campaign "spring" without a version (the
    // served copies), "spring" of 1.6.9.
    EXPECT_EQ(result.Rows[0].Campaign, "");
    EXPECT_EQ(result.Rows[0].Counts[0], 1);
    EXPECT_EQ(result.Rows[1].Campaign, "spring");
    EXPECT_EQ(result.Rows[1].Version, "");
    EXPECT_EQ(result.Rows[1].Served, 2);
    const FunnelRow& spring = result.Rows[2];
    EXPECT_EQ(spring.Day, "2026-12-10");
    EXPECT_EQ(spring.Version, "quellox1.6.9restart");
    EXPECT_EQ(std::vector<std::int64_t>(spring.Counts, spring.Counts + 5), (std::vector<std::int64_t>{2, 1, 1, 1, 1}));
    EXPECT_EQ((result.ErrorCodes[{"spring", "E12"}]), 1);
    EXPECT_EQ((result.ErrorCodes[{"spring", ""}]), 1);

    // Grouped by campaign alone, over both days: served and started meet.
    query = FunnelQuery{"2026-12-01", "2026-12-31", true, false, false};
    ASSERT_TRUE(store->Funnel(query, result, error)) << error;
    ASSERT_EQ(result.Rows.size(), 3u);
    EXPECT_EQ(result.Rows[2].Campaign, "spring");
    EXPECT_EQ(result.Rows[2].Served, 2);
    EXPECT_EQ(result.Rows[2].Counts[0], 3);
    EXPECT_EQ(result.Rows[2].Counts[4], 1);
    EXPECT_EQ(result.Rows[0].Campaign, "");
    EXPECT_EQ(result.Rows[1].Campaign, "autumn");
    EXPECT_EQ(result.Rows[1].Served, 1);
    std::string json = FunnelJson(query, result);
    EXPECT_NE(json.find("{\"campaign\":\"spring\",\"served\":2,\"starts\":3,\"pauses\":1,\"resumes\":1,\"cancels\":1,"
                        "\"finishes\":1,\"conversion\":0.3333}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"totals\":{\"served\":3,\"starts\":4,"), std::string::npos) << json;
    EXPECT_NE(json.find("{\"day\":\"2026-12-11\",\"served\":1,\"starts\":1,"), std::string::npos) << json;

    for (auto [from, to, reason] : {std::tuple{"2026-12-10", "2026-12-01", "from is after to"},
                                    {"2026-13-01", "2026-12-01", "from and to are days, YYYY-MM-DD"},
                                    {"2020-01-01", "2026-12-01", "the period is longer than 800 days"}}) {
        EXPECT_FALSE(store->Funnel(FunnelQuery{from, to}, result, error));
        EXPECT_EQ(error, reason);
    }
}

TEST_P(CollectStore, AStoreOfTheFirstVersionOpensWithItsRowsKept) {
    std::string error;
    {
        auto db = OpenStore(address_, error);
        ASSERT_TRUE(db) << error;
        std::string id = db->Kind() == Dialect::SQLite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY";
        for (std::string sql : FirstVersion) {
            if (std::size_t at = sql.find("{ID}"); at != std::string::npos) sql.replace(at, 4, id);
            ASSERT_TRUE(db->Exec(sql, error)) << error;
        }
    }
    auto store = Open();
    ASSERT_TRUE(store);
    int version = 0;
    ASSERT_TRUE(store->Version(version, error)) << error;
    EXPECT_EQ(version, 2);
    // The old rows stay, with no language; new events come in beside them.
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM events WHERE client_id = '{OLD}' AND language = ''"), 2);
    Add(*store, {MakeEvent("install_start", "spring", Day0 + 30, "{NEW}", "quellox1.6.9restart", "de"),
                 MakeEvent("install_start", "spring", Day0 + 40, "{NEWER}")});
    FunnelQuery query{"2026-12-10", "2026-12-10", true, false, false};
    query.ByLanguage = true;
    FunnelResult result;
    ASSERT_TRUE(store->Funnel(query, result, error)) << error;
    ASSERT_EQ(result.Rows.size(), 2u);
    EXPECT_EQ(result.Rows[0].Language, "");
    EXPECT_EQ(Counts(result.Rows[0]), (std::vector<std::int64_t>{2, 0, 0, 0, 1}));
    EXPECT_EQ(result.Rows[1].Language, "de");
    EXPECT_EQ(Counts(result.Rows[1]), (std::vector<std::int64_t>{1, 0, 0, 0, 0}));
    EXPECT_EQ(result.Languages[""], (std::array<std::int64_t, EventNameCount>{2, 0, 0, 0, 1}));
    EXPECT_EQ(result.Languages["de"], (std::array<std::int64_t, EventNameCount>{1, 0, 0, 0, 0}));
    std::int64_t removed = 0;
    ASSERT_TRUE(store->Forget("{OLD}", removed, error)) << error;
    EXPECT_EQ(removed, 2);
    for (const char* table : {"event_days", "event_language_days", "language_days"})
        EXPECT_EQ(Scalar(*store, std::string("SELECT SUM(count) FROM ") + table), 2) << table;
}

TEST_P(CollectStore, FunnelPerLanguage) {
    auto store = Open();
    ASSERT_TRUE(store);
    const std::string v = "quellox1.6.9restart";
    Add(*store, {MakeEvent("install_start", "spring", Day0 + 1, "{A}", v, "de"),
                 MakeEvent("install_finish", "spring", Day0 + 2, "{A}", v, "de"),
                 MakeEvent("install_start", "spring", Day0 + 3, "{B}", v, "pt-br"),
                 MakeEvent("install_cancel", "spring", Day0 + 4, "{B}", v, "pt-br"),
                 MakeEvent("install_start", "autumn", Day0 + DaySeconds, "{C}", v, "de"),
                 MakeEvent("install_start", "spring", Day0 + 5, "{D}", v),
                 MakeEvent("install_finish", "spring", Day0 + 6, "{D}", v)});
    std::string log = LogFile("stampd.log");
    std::ofstream(log) << ServedLine("2026-12-10T08:00:00.001Z", "qlx-setup.exe", "spring");
    ImportReport report;
    std::string error;
    ASSERT_TRUE(ImportLog(*store, log, report, error)) << error;

    // By language alone: the served copies carry none, like the events of
    // copies that do not send one.
    FunnelQuery query{"2026-12-01", "2026-12-31", false, false, false};
    query.ByLanguage = true;
    FunnelResult result;
    ASSERT_TRUE(store->Funnel(query, result, error)) << error;
    ASSERT_EQ(result.Rows.size(), 3u);
    EXPECT_EQ(result.Rows[0].Language, "");
    EXPECT_EQ(result.Rows[0].Served, 1);
    EXPECT_EQ(Counts(result.Rows[0]), (std::vector<std::int64_t>{1, 0, 0, 0, 1}));
    EXPECT_EQ(result.Rows[1].Language, "de");
    EXPECT_EQ(Counts(result.Rows[1]), (std::vector<std::int64_t>{2, 0, 0, 0, 1}));
    EXPECT_EQ(result.Rows[2].Language, "pt-br");
    EXPECT_EQ(Counts(result.Rows[2]), (std::vector<std::int64_t>{1, 0, 0, 1, 0}));
    std::string json = FunnelJson(query, result);
    EXPECT_NE(json.find("\"group\":[\"language\"],\"rows\":[{\"language\":\"\",\"served\":1,\"starts\":1,"), std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"language\":\"de\",\"served\":0,\"starts\":2,\"pauses\":0,\"resumes\":0,\"cancels\":0,"
                        "\"finishes\":1,\"conversion\":0.5000}"),
              std::string::npos)
        << json;

    // With the campaign and the day, and the languages' own list that every
    // answer carries (the page's table), whatever the grouping.
    query = FunnelQuery{"2026-12-01", "2026-12-31", true, false, true};
    query.ByLanguage = true;
    ASSERT_TRUE(store->Funnel(query, result, error)) << error;
    std::vector<std::string> keys;
    for (const FunnelRow& row : result.Rows) keys.push_back(row.Day + "|" + row.Campaign + "|" + row.Language);
    EXPECT_EQ(keys, (std::vector<std::string>{"2026-12-10|spring|", "2026-12-10|spring|de", "2026-12-10|spring|pt-br",
                                              "2026-12-11|autumn|de"}));
    for (FunnelQuery grouped : {query, FunnelQuery{"2026-12-01", "2026-12-31"}}) {
        ASSERT_TRUE(store->Funnel(grouped, result, error)) << error;
        json = FunnelJson(grouped, result);
        EXPECT_NE(json.find("\"languages\":[{\"language\":\"\",\"starts\":1,\"pauses\":0,\"resumes\":0,\"cancels\":0,"
                            "\"finishes\":1,\"conversion\":1.0000},{\"language\":\"de\",\"starts\":2,\"pauses\":0,"
                            "\"resumes\":0,\"cancels\":0,\"finishes\":1,\"conversion\":0.5000},{\"language\":\"pt-br\","
                            "\"starts\":1,\"pauses\":0,\"resumes\":0,\"cancels\":1,\"finishes\":0,\"conversion\":0.0000}]"),
                  std::string::npos)
            << json;
    }
    // The default grouping does not split its rows by language.
    EXPECT_EQ(json.find("\"rows\":[{\"language\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"group\":[\"campaign\",\"version\",\"day\"]"), std::string::npos) << json;
}

TEST_P(CollectStore, ForgetRemovesOneClientsEventsAndTheirCounts) {
    auto store = Open();
    ASSERT_TRUE(store);
    const std::string v = "quellox1.6.9restart";
    Add(*store, {MakeEvent("install_start", "spring", Day0, "{GONE}", v, "de"),
                 MakeEvent("install_finish", "spring", Day0, "{GONE}", v, "de"),
                 MakeEvent("install_start", "spring", Day0, "{KEPT}", v, "fr")});
    std::int64_t removed = 0;
    std::string error;
    ASSERT_TRUE(store->Forget("{GONE}", removed, error)) << error;
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM events"), 1);
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM events WHERE client_id = '{GONE}'"), 0);
    FunnelResult result;
    ASSERT_TRUE(store->Funnel(FunnelQuery{"2026-12-10", "2026-12-10", true, false, false}, result, error));
    ASSERT_EQ(result.Rows.size(), 1u);
    EXPECT_EQ(result.Rows[0].Counts[0], 1);
    EXPECT_EQ(result.Rows[0].Counts[4], 0);
    // Only the forgotten client's language lost its counts.
    FunnelQuery byLanguage{"2026-12-10", "2026-12-10", false, false, false};
    byLanguage.ByLanguage = true;
    ASSERT_TRUE(store->Funnel(byLanguage, result, error));
    ASSERT_EQ(result.Rows.size(), 1u);
    EXPECT_EQ(result.Rows[0].Language, "fr");
    EXPECT_EQ(result.Rows[0].Counts[0], 1);
    EXPECT_EQ(result.Languages.size(), 1u);
    EXPECT_EQ(result.Languages["fr"][0], 1);
    ASSERT_TRUE(store->Forget("{NOBODY}", removed, error)) << error;
    EXPECT_EQ(removed, 0);
}

TEST_P(CollectStore, RetentionDeletesWholeDaysBeforeTheFirstKept) {
    auto store = Open();
    ASSERT_TRUE(store);
    Add(*store, {MakeEvent("install_start", "a", Day0 - 2 * DaySeconds), MakeEvent("install_start", "a", Day0 - 1),
                 MakeEvent("install_start", "a", Day0)});
    std::int64_t removed = 0;
    std::string error;
    ASSERT_TRUE(store->DeleteBefore("2026-12-10", removed, error)) << error;
    EXPECT_EQ(removed, 2);
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM events"), 1);
    for (const char* table : {"event_days", "event_language_days", "language_days"})
        EXPECT_EQ(Scalar(*store, std::string("SELECT SUM(count) FROM ") + table), 1) << table;
}

TEST_P(CollectStore, TheStampingServicesLogIsImportedOnceAndResumed) {
    auto store = Open();
    ASSERT_TRUE(store);
    std::string log = LogFile("stampd.log");
    std::string lines =
        "2026-12-10T07:59:00.000Z listening on 127.0.0.1:8080 with 2 threads\n" +
        ServedLine("2026-12-10T08:00:00.001Z", "qlx_E12-setup_forum.exe", "spring") +
        ServedLine("2026-12-10T08:00:00.002Z", "qlx-setup.exe", "spring", "", "206") +                 // a resumed range
        ServedLine("2026-12-10T08:00:00.003Z", "qlx-setup.exe", "spring", "", "200", "bad") +          // no attribution
        ServedLine("2026-12-10T08:00:00.004Z", "qlx-setup.exe", "spring", " aborted=\"Broken pipe\"") +  // cut off
        ServedLine("2026-12-10T08:00:00.005Z", "qlx-setup.exe", "autumn", "", "200", "valid-old-key") +
        "2026-12-10T08:00:00.006Z 127.0.0.1 GET \"/x\" 400 60 0.1ms sig=- reason=\"the file name is not\"\n";
    std::ofstream(log) << lines << "2026-12-10T08:00:00.007Z 127.0.0.1 GET \"/qlx";  // a line still being written
    ImportReport report;
    std::string error;
    ASSERT_TRUE(ImportLog(*store, log, report, error)) << error;
    EXPECT_EQ(report.Lines, 7);
    EXPECT_EQ(report.Added, 2);
    EXPECT_EQ(report.To, static_cast<std::int64_t>(lines.size()));
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM served WHERE campaign = 'spring' AND error_code = 'E12' AND linker = 'forum'"), 1);

    // Again: nothing new. Then the unfinished line ends and another follows.
    report = {};
    ASSERT_TRUE(ImportLog(*store, log, report, error)) << error;
    EXPECT_EQ(report.Added, 0);
    std::ofstream(log, std::ios::app) << "-setup.exe\" 404 0 0.1ms sig=-\n"
                                      << ServedLine("2026-12-10T09:00:00.000Z", "qlx-setup.exe", "spring");
    report = {};
    ASSERT_TRUE(ImportLog(*store, log, report, error)) << error;
    EXPECT_EQ(report.Lines, 2);
    EXPECT_EQ(report.Added, 1);

    // The same lines under another name are the same copies.
    std::string copy = LogFile("copy.log");
    std::filesystem::copy_file(log, copy);
    report = {};
    ASSERT_TRUE(ImportLog(*store, copy, report, error)) << error;
    EXPECT_EQ(report.Added, 0);

    // A rotated file (a new first line) is read from its start.
    std::ofstream(log) << ServedLine("2026-12-11T00:00:00.000Z", "qlx-setup.exe", "winter");
    report = {};
    ASSERT_TRUE(ImportLog(*store, log, report, error)) << error;
    EXPECT_TRUE(report.Restarted);
    EXPECT_EQ(report.Added, 1);
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM served"), 4);
    EXPECT_EQ(Scalar(*store, "SELECT SUM(count) FROM served_days"), 4);
    EXPECT_FALSE(ImportLog(*store, LogFile("missing.log"), report, error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

TEST_P(CollectStore, TheWriterCommitsEveryEventAndAnswersAfterTheCommit) {
    auto store = Open();
    ASSERT_TRUE(store);
    Writer writer(*store, 0, [](const std::string&) {});
    writer.Start();
    constexpr int Threads = 8, PerThread = 300;
    std::atomic<int> committed{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i) {
                std::promise<bool> answered;
                writer.Submit({MakeEvent("install_start", "c" + std::to_string(t), Day0 + i)},
                              [&](bool ok) { answered.set_value(ok); });
                (answered.get_future().get() ? committed : failed)++;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    writer.CountRefusal("unknown event name", Day0);
    writer.Stop();  // commits what is still waiting
    EXPECT_EQ(committed, Threads * PerThread);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM events"), Threads * PerThread);
    for (const char* table : {"event_days", "event_language_days", "language_days"})
        EXPECT_EQ(Scalar(*store, std::string("SELECT SUM(count) FROM ") + table), Threads * PerThread) << table;
    EXPECT_EQ(Scalar(*store, "SELECT SUM(count) FROM refused_days WHERE reason = 'unknown event name'"), 1);
}

// The database goes away under the writer: the requests of that moment are
// told "not stored" (their connections are then closed without an answer,
// and the installer sends again), nothing of them is stored, and the writer
// comes back by itself.
TEST_P(CollectStore, AWriterWhoseDatabaseWentAwayStoresNothingHalfAndComesBack) {
    if (GetParam() != "PostgreSQL") GTEST_SKIP() << "a SQLite file does not go away";
    auto store = Open();
    ASSERT_TRUE(store);
    Writer writer(*store, 0, [](const std::string&) {});
    writer.Start();
    auto submit = [&](std::vector<StoredEvent> events) {
        std::promise<bool> answered;
        writer.Submit(std::move(events), [&](bool ok) { answered.set_value(ok); });
        return answered.get_future().get();
    };
    ASSERT_TRUE(submit({MakeEvent("install_start", "x", Day0)}));
    std::string error;
    auto other = OpenStore(address_, error);
    ASSERT_TRUE(other) << error;
    ASSERT_TRUE(other->Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE pid <> pg_backend_pid()"
                            " AND datname = current_database()",
                            {}, nullptr, error))
        << error;
    EXPECT_FALSE(submit({MakeEvent("install_start", "x", Day0), MakeEvent("install_finish", "x", Day0)}));
    bool back = false;
    for (int i = 0; i < 50 && !back; ++i) {
        back = submit({MakeEvent("install_finish", "x", Day0)});
        if (!back) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(back);
    writer.Stop();
    auto check = Open();
    EXPECT_EQ(Scalar(*check, "SELECT COUNT(*) FROM events"), 2);
    EXPECT_EQ(Scalar(*check, "SELECT SUM(count) FROM event_days"), 2);
}

TEST_P(CollectStore, CollectorsStartingTogetherMigrateOnce) {
    std::vector<std::future<bool>> starts;
    for (int i = 0; i < 4; ++i)
        starts.push_back(std::async(std::launch::async, [this] {
            std::string error;
            auto db = OpenStore(address_, error);
            if (!db) return false;
            Store store(std::move(db));
            return store.Migrate(error);
        }));
    for (auto& start : starts) EXPECT_TRUE(start.get());
    auto store = Open();
    EXPECT_EQ(Scalar(*store, "SELECT COUNT(*) FROM schema_migrations"), Store::LatestVersion());
}

INSTANTIATE_TEST_SUITE_P(Stores, CollectStore, ::testing::Values("SQLite", "PostgreSQL"),
                         [](const auto& info) { return info.param; });
