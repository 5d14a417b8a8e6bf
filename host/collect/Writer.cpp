// The group-committing writer.
#include "host/collect/Writer.h"

#include <algorithm>
#include <ctime>

namespace collect {

namespace {
constexpr auto RetentionInterval = std::chrono::hours(1);
constexpr auto ReconnectInterval = std::chrono::milliseconds(500);
// The longest wait for the callers of the last commit to come back.
constexpr std::chrono::steady_clock::duration MaxGather = std::chrono::milliseconds(5);
}  // namespace

Writer::Writer(Store& store, int retentionDays, Log log)
    : store_(store), retentionDays_(retentionDays), log_(std::move(log)) {}

Writer::~Writer() { Stop(); }

void Writer::Start() { thread_ = std::thread([this] { Run(); }); }

void Writer::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Writer::Submit(std::vector<StoredEvent> events, Done done) {
    {
        std::lock_guard lock(mutex_);
        pendingEvents_ += events.size();
        pending_.push_back({std::move(events), std::move(done)});
    }
    wake_.notify_one();
}

void Writer::CountRefusal(const std::string& reason, std::int64_t at) {
    {
        std::lock_guard lock(mutex_);
        ++refusals_[{DayOf(at), reason}];
    }
    wake_.notify_one();
}

std::uint64_t Writer::Failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

std::uint64_t Writer::Committed() const {
    std::lock_guard lock(mutex_);
    return committed_;
}

std::uint64_t Writer::Transactions() const {
    std::lock_guard lock(mutex_);
    return transactions_;
}

bool Writer::CommitBatch(std::vector<Pending>& batch,
                         std::map<std::pair<std::string, std::string>, std::int64_t>& refusals, std::string& error) {
    std::vector<StoredEvent> all;
    for (auto& pending : batch)
        for (auto& event : pending.Events) all.push_back(event);
    if (!store_.Begin(error)) return false;
    if (!store_.AddEvents(all, error) || !store_.AddRefusals(refusals, error) || !store_.Commit(error)) {
        store_.Rollback();
        return false;
    }
    return true;
}

void Writer::Retain(std::chrono::steady_clock::time_point now) {
    if (retentionDays_ <= 0 || now < nextRetention_) return;
    nextRetention_ = now + RetentionInterval;
    std::string firstKept, error;
    AddDays(DayOf(std::time(nullptr)), -retentionDays_, firstKept);
    std::int64_t removed = 0;
    if (!store_.DeleteBefore(firstKept, removed, error)) log_("retention: " + error);
    else if (removed > 0) log_("retention: deleted " + std::to_string(removed) + " events before " + firstKept);
}

void Writer::Run() {
    for (;;) {
        std::vector<Pending> batch;
        std::map<std::pair<std::string, std::string>, std::int64_t> refusals;
        bool stopping;
        {
            std::unique_lock lock(mutex_);
            // Counts alone wait while the database is away.
            wake_.wait_for(lock, ReconnectInterval,
                           [this] { return stopping_ || !pending_.empty() || (!refusals_.empty() && !down_); });
            // The requests answered by the last commit come back soon with
            // their next events (a connection waits for its answer before it
            // sends again). Committing without them would split the callers
            // into groups that take turns, one flush each: so the writer
            // waits for as many requests as the last round saw, for at most
            // half the last commit's time. One caller alone never waits.
            if (!stopping_ && !down_ && answered_ > 1 && pending_.size() < expected_ && !pending_.empty())
                wake_.wait_until(lock, committedAt_ + std::min(lastCommit_ / 2, MaxGather),
                                 [this] { return stopping_ || pending_.size() >= expected_; });
            stopping = stopping_;
            // Everything that waits, up to a bound, goes into one transaction.
            std::size_t events = 0;
            std::size_t taken = 0;
            while (taken < pending_.size() && (taken == 0 || events + pending_[taken].Events.size() <= MaxBatch))
                events += pending_[taken++].Events.size();
            batch.assign(std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.begin() + taken));
            pending_.erase(pending_.begin(), pending_.begin() + taken);
            pendingEvents_ -= events;
            refusals.swap(refusals_);
            if (stopping && batch.empty() && refusals.empty()) return;
        }
        auto now = std::chrono::steady_clock::now();
        std::string error;
        if (batch.empty() && refusals.empty()) {
            if (down_ && now >= nextReconnect_) {
                nextReconnect_ = now + ReconnectInterval;
                if (store_.Db().Reconnect(error)) {
                    down_ = false;
                    log_("the database is back");
                }
            }
            if (!down_) Retain(now);
            continue;
        }
        bool committed = false;
        // While the database is away, requests are answered at once (their
        // connections closed); a reconnection is tried every half second.
        if (down_ && now >= nextReconnect_) {
            nextReconnect_ = now + ReconnectInterval;
            if (store_.Db().Reconnect(error)) {
                down_ = false;
                log_("the database is back");
            }
        }
        if (!down_) {
            committed = CommitBatch(batch, refusals, error);
            if (!committed && !store_.Db().Healthy()) {
                down_ = true;
                nextReconnect_ = now + ReconnectInterval;
                log_("the database is away: " + error);
            } else if (!committed) {
                log_("cannot commit: " + error);
            }
        }
        {
            std::lock_guard lock(mutex_);
            (committed ? committed_ : failed_) += batch.size();
            if (committed && !batch.empty()) ++transactions_;
            committedAt_ = std::chrono::steady_clock::now();
            lastCommit_ = committedAt_ - now;
            answered_ = batch.size();
            expected_ = batch.size() + pending_.size();
            // Counts that could not be stored are kept for the next commit.
            if (!committed && !stopping)
                for (const auto& [key, count] : refusals) refusals_[key] += count;
        }
        for (auto& pending : batch) pending.Callback(committed);
        if (!down_) Retain(now);
    }
}

}  // namespace collect
