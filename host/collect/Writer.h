// The one writer of the collector's database. Requests hand it their events
// and wait; it commits everything that arrived while the previous commit ran
// in one transaction (group commit), then tells each request whether its
// events are stored. Refusals are counted along with them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/collect/Store.h"

namespace collect {

class Writer {
public:
    using Done = std::function<void(bool committed)>;
    using Log = std::function<void(const std::string& line)>;

    // `retentionDays` 0 keeps everything; otherwise events older than that
    // many days are deleted at start and every hour.
    Writer(Store& store, int retentionDays, Log log);
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void Start();
    // Commits everything handed in so far, then ends the thread.
    void Stop();

    // `done` runs on the writer's thread once the events are committed (true)
    // or cannot be (false: the database is away; nothing of them is stored).
    void Submit(std::vector<StoredEvent> events, Done done);
    void CountRefusal(const std::string& reason, std::int64_t at);

    // Requests that could not be committed since start.
    std::uint64_t Failed() const;
    std::uint64_t Committed() const;
    // Transactions that committed requests' events.
    std::uint64_t Transactions() const;

    static constexpr std::size_t MaxBatch = 4096;

private:
    struct Pending {
        std::vector<StoredEvent> Events;
        Done Callback;
    };
    void Run();
    bool CommitBatch(std::vector<Pending>& batch, std::map<std::pair<std::string, std::string>, std::int64_t>& refusals,
                     std::string& error);
    void Retain(std::chrono::steady_clock::time_point now);

    Store& store_;
    int retentionDays_;
    Log log_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Pending> pending_;
    std::size_t pendingEvents_ = 0;
    std::map<std::pair<std::string, std::string>, std::int64_t> refusals_;
    bool stopping_ = false;
    std::thread thread_;
    std::uint64_t failed_ = 0, committed_ = 0, transactions_ = 0;
    bool down_ = false;
    std::chrono::steady_clock::time_point nextRetention_{};
    std::chrono::steady_clock::time_point nextReconnect_{};
    // The last commit: when it ended, how long it took, how many requests it
    // answered, and how many were waiting by then with them.
    std::chrono::steady_clock::time_point committedAt_{};
    std::chrono::steady_clock::duration lastCommit_{};
    std::size_t answered_ = 0, expected_ = 0;
};

}  // namespace collect
