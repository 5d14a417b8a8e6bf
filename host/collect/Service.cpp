// quellox-collect's service.
#include "host/collect/Service.h"

#include <cstdio>

namespace collect {

namespace {

namespace http = boost::beast::http;

class CollectHandler final : public hosthttp::Handler {
public:
    explicit CollectHandler(App& app) : app_(app) {}

    hosthttp::Response Handle(const hosthttp::Request&) override { return {}; }

    void HandleLater(const hosthttp::Request& request, hosthttp::Reply reply) override {
        const auto& message = request.Message;
        AppRequest asked;
        asked.Method = std::string(message.method_string());
        asked.Target = std::string(message.target());
        asked.Body = message.body();
        asked.Peer = request.Peer;
        asked.Forwarded = message.find("Forwarded") != message.end() || message.find("X-Forwarded-For") != message.end();
        if (auto found = message.find(http::field::authorization); found != message.end())
            asked.Authorization = std::string(found->value());
        // HEAD: the shared side sends the header of the GET's answer alone.
        app_.Handle(asked, [reply = std::move(reply)](AppResponse answer) {
            hosthttp::Response response;
            if (answer.Drop) {
                response.Unanswered = true;
                response.Reason = answer.Reason;
                response.LogFields = answer.LogFields;
                return reply(std::move(response));
            }
            response.Message.result(static_cast<http::status>(answer.Status));
            if (!answer.ContentType.empty()) response.Message.set(http::field::content_type, answer.ContentType);
            for (const auto& [name, value] : answer.Headers) response.Message.set(name, value);
            response.Message.body() = std::move(answer.Body);
            response.Reason = answer.Reason;
            response.LogFields = answer.LogFields;
            reply(std::move(response));
        });
    }

    void Refused(const std::string& reason) override { app_.CountRefusal(reason); }

    std::string Describe() const override { return describe_; }
    void SetDescription(std::string text) { describe_ = std::move(text); }

private:
    App& app_;
    std::string describe_;
};

}  // namespace

int Serve(ServiceSettings settings) {
    auto log = [](const std::string& line) { hosthttp::LogLine(hosthttp::LogTime() + " " + line); };
    std::string error;
    auto open = [&]() -> std::unique_ptr<Store> {
        auto db = OpenStore(settings.Store, error, settings.Options);
        if (!db) return nullptr;
        auto store = std::make_unique<Store>(std::move(db));
        if (!store->Migrate(error)) return nullptr;
        return store;
    };
    auto store = open();
    if (!store) return std::fprintf(stderr, "quellox-collect: %s\n", error.c_str()), 1;
    auto reader = open();
    if (!reader) return std::fprintf(stderr, "quellox-collect: %s\n", error.c_str()), 1;
    int version = 0;
    store->Version(version, error);

    Writer writer(*store, settings.RetentionDays, log);
    writer.Start();
    App app(settings.App, writer, std::move(reader));
    CollectHandler handler(app);
    std::string store_kind = settings.Store.rfind("sqlite:", 0) == 0 ? settings.Store : "postgresql";
    handler.SetDescription("store " + store_kind + " schema " + std::to_string(version) +
                           (settings.App.Token.empty() ? ", page from loopback only" : ", page with its token"));
    // The body limit of an event is the collector's own, so that a refusal
    // is counted; what goes past this is refused before it is read.
    settings.Server.BodyLimit = 4 * BodyLimit;
    int code = hosthttp::Serve(settings.Server, handler);
    // Every request has had its answer: what still waits is committed now.
    writer.Stop();
    log("writer stopped: " + std::to_string(writer.Committed()) + " requests committed in " +
        std::to_string(writer.Transactions()) + " transactions, " +
        std::to_string(writer.Failed()) + " could not be");
    return code;
}

}  // namespace collect
