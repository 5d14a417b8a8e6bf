// The collector's answers.
#include "host/collect/App.h"

#include <ctime>

#include "host/collect/Json.h"

namespace collect {

namespace {

// The path and the query of a request target.
std::pair<std::string, std::string> SplitTarget(const std::string& target) {
    std::size_t question = target.find('?');
    if (question == std::string::npos) return {target, ""};
    return {target.substr(0, question), target.substr(question + 1)};
}

// The fields of a query, decoded; false on a malformed one.
bool QueryFields(const std::string& query, std::map<std::string, std::string>& fields) {
    std::size_t at = 0;
    while (at < query.size()) {
        std::size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        std::string field = query.substr(at, end - at);
        at = end + 1;
        if (field.empty()) continue;
        std::size_t equals = field.find('=');
        std::string name, value;
        if (!DecodeFormValue(field.substr(0, equals), name)) return false;
        if (equals != std::string::npos && !DecodeFormValue(field.substr(equals + 1), value)) return false;
        if (fields.count(name)) return false;
        fields[name] = value;
    }
    return true;
}

bool IsLoopback(const std::string& peer) {
    return peer.rfind("127.", 0) == 0 || peer == "::1" || peer.rfind("::ffff:127.", 0) == 0;
}

bool SameSecret(const std::string& given, const std::string& expected) {
    if (expected.empty() || given.size() != expected.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    return difference == 0;
}

AppResponse Text(unsigned status, const std::string& text) {
    AppResponse response;
    response.Status = status;
    response.ContentType = "text/plain; charset=utf-8";
    response.Body = text + "\n";
    response.Headers = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
    return response;
}

std::string Fields(const Event& e) {
    return "event=" + e.Name + " campaign=\"" + e.Campaign + "\" version=" + e.Version;
}

}  // namespace

App::App(AppSettings settings, Writer& writer, std::unique_ptr<collect::Store> reader)
    : Now([] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      settings_(std::move(settings)),
      writer_(writer),
      reader_(std::move(reader)) {}

void App::CountRefusal(const std::string& reason) {
    ++refused_;
    writer_.CountRefusal(reason, Now());
}

void App::Refuse(unsigned status, const std::string& reason, Reply& reply) {
    ++refused_;
    writer_.CountRefusal(reason, Now());
    AppResponse response = Text(status, reason);
    response.Reason = reason;
    reply(std::move(response));
}

void App::Store(std::vector<Event> events, const char* form, Reply& reply) {
    std::vector<StoredEvent> stored;
    std::int64_t now = Now();
    std::string fields = events.size() == 1 ? Fields(events[0]) : "events=" + std::to_string(events.size());
    for (Event& event : events) stored.push_back({std::move(event), now, form});
    writer_.Submit(std::move(stored), [this, reply = std::move(reply), fields](bool committed) {
        AppResponse response;
        response.LogFields = fields;
        if (committed) {
            ++accepted_;
            response.Status = 204;
            response.Headers = {{"Cache-Control", "no-store"}};
        } else {
            ++dropped_;
            response.Drop = true;
            response.Reason = "not committed: the connection is closed without an answer";
        }
        reply(std::move(response));
    });
}

bool App::Allowed(const AppRequest& request, const std::string& query) const {
    // Behind a proxy every request comes from loopback: one that says it
    // was forwarded needs the token like any other.
    if (IsLoopback(request.Peer) && !request.Forwarded) return true;
    std::map<std::string, std::string> fields;
    QueryFields(query, fields);
    static const std::string bearer = "Bearer ";
    if (request.Authorization.rfind(bearer, 0) == 0 &&
        SameSecret(request.Authorization.substr(bearer.size()), settings_.Token))
        return true;
    return fields.count("token") && SameSecret(fields["token"], settings_.Token);
}

bool App::ReadQuery(const std::string& query, FunnelQuery& funnel, std::string& reason) {
    std::map<std::string, std::string> fields;
    if (!QueryFields(query, fields)) {
        reason = "malformed query";
        return false;
    }
    funnel.To = fields.count("to") ? fields["to"] : DayOf(Now());
    if (fields.count("from")) {
        funnel.From = fields["from"];
    } else if (!AddDays(funnel.To, -89, funnel.From)) {
        reason = "from and to are days, YYYY-MM-DD";
        return false;
    }
    if (fields.count("group")) {
        funnel.ByCampaign = funnel.ByVersion = funnel.ByDay = false;
        std::string list = fields["group"] + ",";
        for (std::size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
            std::string name = list.substr(at, comma - at);
            if (name == "campaign") funnel.ByCampaign = true;
            else if (name == "version") funnel.ByVersion = true;
            else if (name == "day") funnel.ByDay = true;
            else if (name == "language") funnel.ByLanguage = true;
            else if (!name.empty()) {
                reason = "group is a list of campaign, version, day and language";
                return false;
            }
        }
    }
    for (const auto& field : fields) {
        if (field.first != "from" && field.first != "to" && field.first != "group" && field.first != "token") {
            reason = "unknown query field";
            return false;
        }
    }
    return true;
}

AppResponse App::FunnelAnswer(const std::string& query) {
    FunnelQuery funnel;
    FunnelResult result;
    std::string reason;
    if (!ReadQuery(query, funnel, reason)) return Text(400, reason);
    {
        std::lock_guard lock(readerMutex_);
        if (!reader_->Funnel(funnel, result, reason)) {
            bool unusable = reason.rfind("from", 0) != 0 && reason.rfind("the period", 0) != 0;
            if (unusable) {
                // The reader's connection may have gone with the database: the next request tries again.
                std::string ignored;
                if (!reader_->Db().Healthy()) reader_->Db().Reconnect(ignored);
                return Text(503, "the database cannot be read: " + reason);
            }
            return Text(400, reason);
        }
    }
    AppResponse response;
    response.ContentType = "application/json";
    response.Body = FunnelJson(funnel, result);
    response.Headers = {{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
    return response;
}

AppResponse App::Page(const std::string& query) {
    // The page comes with its period's figures (the last 90 days unless the
    // query says otherwise); it asks for others itself.
    AppResponse data = FunnelAnswer(query);
    if (data.Status != 200) return data;
    AppResponse response;
    response.ContentType = "text/html; charset=utf-8";
    response.Body = FunnelPage(data.Body);
    response.Headers = {{"Cache-Control", "no-store"},
                        {"X-Content-Type-Options", "nosniff"},
                        {"Content-Security-Policy",
                         "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'"},
                        {"Referrer-Policy", "no-referrer"}};
    return response;
}

void App::Handle(const AppRequest& request, Reply reply) {
    auto [path, query] = SplitTarget(request.Target);
    if (path == "/collect" || path == "/mp/collect") {
        if (request.Method != "POST") {
            AppResponse response = Text(405, "only POST is taken here");
            response.Headers.emplace_back("Allow", "POST");
            response.Reason = "only POST is taken here";
            return reply(std::move(response));
        }
        if (request.Body.size() > BodyLimit)
            return Refuse(413, "the body is larger than " + std::to_string(BodyLimit) + " bytes", reply);
        std::string reason;
        if (path == "/collect") {
            Event event;
            if (!ParseForm(request.Body, settings_.Accepted, event, reason)) return Refuse(400, reason, reply);
            return Store({std::move(event)}, "v1", reply);
        }
        bool denied = false;
        if (!CheckStream(query, settings_.Accepted, reason, denied)) return Refuse(denied ? 403 : 400, reason, reply);
        std::vector<Event> events;
        if (!ParseJson(request.Body, events, reason)) return Refuse(400, reason, reply);
        return Store(std::move(events), "ga4", reply);
    }
    if (request.Method != "GET" && request.Method != "HEAD") {
        AppResponse response = Text(405, "only GET and HEAD are served here");
        response.Headers.emplace_back("Allow", "GET, HEAD");
        response.Reason = "only GET and HEAD are served here";
        return reply(std::move(response));
    }
    if (path == "/healthz") {
        bool ok = true;
        std::string health = Health(ok);
        return reply(Text(ok ? 200 : 503, health));
    }
    if (path == "/" || path == "/api/funnel") {
        if (!Allowed(request, query)) {
            AppResponse response = Text(401, "a token is needed (?token=… or Authorization: Bearer …)");
            response.Reason = "no token";
            return reply(std::move(response));
        }
        return reply(path == "/" ? Page(query) : FunnelAnswer(query));
    }
    AppResponse response = Text(404, "not found");
    response.Reason = "not found";
    reply(std::move(response));
}

std::string App::Health(bool& ok) {
    ok = false;
    int version = 0;
    std::string error;
    {
        std::lock_guard lock(readerMutex_);
        if (!reader_->Version(version, error)) {
            if (!reader_->Db().Healthy()) reader_->Db().Reconnect(error);
            return "database away: " + error;
        }
    }
    ok = true;
    return "ok schema=" + std::to_string(version) + " accepted=" + std::to_string(accepted_.load()) +
           " refused=" + std::to_string(refused_.load()) + " unanswered=" + std::to_string(dropped_.load());
}

}  // namespace collect
