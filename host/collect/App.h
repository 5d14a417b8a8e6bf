// The collector's answers, apart from the HTTP plumbing: which request goes
// where, the events handed to the writer, the refusals with their reasons,
// the page and the funnel's JSON behind their token.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/collect/Event.h"
#include "host/collect/Store.h"
#include "host/collect/Writer.h"

namespace collect {

struct AppRequest {
    std::string Method, Target, Body;
    std::string Peer;           // the client's address
    bool Forwarded = false;     // a proxy's header (Forwarded, X-Forwarded-For) came with it
    std::string Authorization;  // the header's value
};

struct AppResponse {
    unsigned Status = 200;
    std::string ContentType, Body;
    std::vector<std::pair<std::string, std::string>> Headers;
    // Close the connection without any answer: the event could not be
    // committed, and the installer sends again only when no answer comes.
    bool Drop = false;
    std::string Reason;     // a refusal's reason, for the access log
    std::string LogFields;  // the event's fields, for the access log
};

struct AppSettings {
    Acceptance Accepted;
    std::string Token;  // empty: the page and the JSON only from loopback
};

class App {
public:
    // `reader` is a connection of its own for the page's queries.
    App(AppSettings settings, Writer& writer, std::unique_ptr<Store> reader);

    using Reply = std::function<void(AppResponse)>;
    // Answers one request; `reply` runs once, maybe on the writer's thread.
    void Handle(const AppRequest& request, Reply reply);

    // Counts a request the HTTP side refused before it came here.
    void CountRefusal(const std::string& reason);

    // "ok", the schema's version and the counters, for /healthz.
    std::string Health(bool& ok);

    // The clock of received events (Unix seconds); a seam for tests.
    std::function<std::int64_t()> Now;

private:
    void Refuse(unsigned status, const std::string& reason, Reply& reply);
    void Store(std::vector<Event> events, const char* form, Reply& reply);
    bool Allowed(const AppRequest& request, const std::string& query) const;
    AppResponse Page(const std::string& query);
    AppResponse FunnelAnswer(const std::string& query);
    bool ReadQuery(const std::string& query, FunnelQuery& funnel, std::string& reason);

    AppSettings settings_;
    Writer& writer_;
    std::mutex readerMutex_;
    std::unique_ptr<collect::Store> reader_;
    std::atomic<std::uint64_t> accepted_{0}, refused_{0}, dropped_{0};
};

// The page, with the funnel's JSON put in it.
std::string FunnelPage(const std::string& funnelJson);

}  // namespace collect
