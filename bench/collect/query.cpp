// The funnel query's time as events grow: fills a store with N events over
// the last 120 days (40 campaigns, 3 versions, the five events, one served
// copy per start), through the collector's own writes (rollups included),
// then times the 90-day funnel from the rollups, and the same figures
// counted from the events themselves (by their day index) for comparison.
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
    std::uint64_t seed = 88172645463325252ull;
    auto next = [&] {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed;
    };
    const char* names[] = {"install_start", "install_pause", "install_resume", "install_cancel", "install_finish"};
    const int weights[] = {40, 10, 8, 12, 30};
    for (long long done = have; done < events;) {
        std::vector<StoredEvent> batch;
        for (int i = 0; i < 20000 && done < events; ++i, ++done) {
            StoredEvent e;
            int pick = static_cast<int>(next() % 100), k = 0;
            while (pick >= weights[k]) pick -= weights[k++];
            e.Fields.Name = names[k];
            e.Fields.Campaign = "campaign-" + std::to_string(next() % 40);
            e.Fields.Version = "quellox1.6." + std::to_string(7 + next() % 3) + "restart";
            e.Fields.ClientID = "{" + std::to_string(next() % 1000000) + "}";
            e.Fields.Variant = next() % 2 ? "a" : "b";
            e.ReceivedAt = now - static_cast<std::int64_t>(next() % (120 * 86400));
            e.Form = "v1";
            batch.push_back(std::move(e));
        }
        if (!store.Begin(error) || !store.AddEvents(batch, error) || !store.Commit(error))
            return std::fprintf(stderr, "%s\n", error.c_str()), 1;
    }
    double fillSeconds = Ms(Clock::now() - fillStart) / 1000;

    FunnelQuery query{"", DayOf(now), true, true, true};
    AddDays(query.To, -89, query.From);
    std::vector<double> rollup, scan;
    for (int i = 0; i < runs; ++i) {
        FunnelResult result;
        auto start = Clock::now();
        if (!store.Funnel(query, result, error)) return std::fprintf(stderr, "%s\n", error.c_str()), 1;
        FunnelJson(query, result);
        rollup.push_back(Ms(Clock::now() - start));
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
    std::sort(scan.begin(), scan.end());
    std::printf("events %lld fill_s %.1f funnel_90d_ms %.2f from_events_ms %.1f\n", events, fillSeconds,
                rollup[rollup.size() / 2], scan[scan.size() / 2]);
    return 0;
}
