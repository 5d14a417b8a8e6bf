// The collector's answers on a SQLite store: events answered 204 once
// committed, refusals with their reasons and counts, the page and the
// funnel's JSON behind their token.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "analytics/uPayload.h"
#include "host/collect/App.h"

namespace {

using namespace collect;

class CollectApp : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quellox-collect-app.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        std::string error;
        auto db = OpenStore("sqlite:" + folder_ + "/events.db", error);
        ASSERT_TRUE(db) << error;
        store_ = std::make_unique<Store>(std::move(db));
        ASSERT_TRUE(store_->Migrate(error)) << error;
        writer_ = std::make_unique<Writer>(*store_, 0, [](const std::string&) {});
        writer_->Start();
        AppSettings settings{{{"UA-00000000-0"}, {{"G-QLX7TEST42", "s3cret"}}}, std::string(40, 't')};
        app_ = std::make_unique<App>(settings, *writer_, std::make_unique<Store>(OpenStore("sqlite:" + folder_ + "/events.db", error)));
        app_->Now = [] { return std::int64_t{1796860800 + 3600}; };  // 2026-12-10
    }
    void TearDown() override {
        app_.reset();
        if (writer_) writer_->Stop();
        std::filesystem::remove_all(folder_);
    }

    AppResponse Ask(const std::string& method, const std::string& target, const std::string& body = "",
                    const std::string& peer = "127.0.0.1", bool forwarded = false, const std::string& authorization = "") {
        std::promise<AppResponse> answer;
        app_->Handle({method, target, body, peer, forwarded, authorization}, [&](AppResponse r) { answer.set_value(std::move(r)); });
        return answer.get_future().get();
    }

    std::string folder_;
    std::unique_ptr<Store> store_;
    std::unique_ptr<Writer> writer_;
    std::unique_ptr<App> app_;
};

std::string Form(const std::wstring& name) {
    payload::TEventFields fields{L"UA-00000000-0", L"{C1}", L"quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_a",
                                 name, L"", 0, L"", L""};
    std::wstring body = payload::ComposePayload(fields);
    return std::string(body.begin(), body.end());
}

}  // namespace

TEST_F(CollectApp, EventsAreAnsweredOnceCommittedAndRefusalsAreCounted) {
    EXPECT_EQ(Ask("POST", "/collect", Form(L"install_start")).Status, 204u);
    std::string ga4 = payload::ComposeJsonPayload(
        {L"", L"{C1}", L"quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_a", L"install_finish", L"", 0,
         L"spring-affiliate_31095-ab_afterinstall_a", L"pt-br"},
        L"1");
    EXPECT_EQ(Ask("POST", "/mp/collect?measurement_id=G-QLX7TEST42&api_secret=s3cret", ga4).Status, 204u);
    struct Case {
        std::string Method, Target, Body;
        unsigned Status;
        std::string Reason;
    } refusals[] = {
        {"POST", "/collect", Form(L"install_boom"), 400, "unknown event name"},
        {"POST", "/collect", std::string(8193, 'a'), 413, "the body is larger than 8192 bytes"},
        {"POST", "/mp/collect?measurement_id=G-QLX7TEST42&api_secret=wrong", ga4, 403, "wrong measurement_id or api_secret"},
        {"POST", "/mp/collect?measurement_id=G-QLX7TEST42&api_secret=s3cret", "{", 400, "malformed JSON: an object key that is not a string"},
        {"GET", "/collect", "", 405, "only POST is taken here"},
        {"GET", "/elsewhere", "", 404, "not found"},
    };
    for (const Case& c : refusals) {
        AppResponse answer = Ask(c.Method, c.Target, c.Body);
        EXPECT_EQ(answer.Status, c.Status) << c.Target;
        EXPECT_EQ(answer.Reason, c.Reason) << c.Target;
        EXPECT_EQ(answer.Body, c.Reason + "\n") << c.Target;
    }
    // Counts go with the next commit: an event answered after them is committed with them or later.
    EXPECT_EQ(Ask("POST", "/collect", Form(L"install_pause")).Status, 204u);
    AppResponse funnel = Ask("GET", "/api/funnel?group=campaign");
    ASSERT_EQ(funnel.Status, 200u);
    EXPECT_EQ(funnel.ContentType, "application/json");
    EXPECT_NE(funnel.Body.find("\"from\":\"2026-09-12\",\"to\":\"2026-12-10\""), std::string::npos) << funnel.Body;
    EXPECT_NE(funnel.Body.find("{\"campaign\":\"spring\",\"served\":0,\"starts\":1,\"pauses\":1,\"resumes\":0,\"cancels\":0,"
                               "\"finishes\":1,\"conversion\":1.0000}"),
              std::string::npos)
        << funnel.Body;
    // The four counted refusals (a wrong method or address is no event).
    for (const char* reason : {"unknown event name", "the body is larger than 8192 bytes",
                               "wrong measurement_id or api_secret", "malformed JSON: an object key that is not a string"})
        EXPECT_NE(funnel.Body.find("{\"reason\":\"" + std::string(reason) + "\",\"count\":1}"), std::string::npos) << reason;
    AppResponse health = Ask("GET", "/healthz");
    EXPECT_EQ(health.Body, "ok schema=2 accepted=3 refused=4 unanswered=0\n");
}

TEST_F(CollectApp, TheFiguresGroupByTheEventsLanguage) {
    const std::string ga4 = "/mp/collect?measurement_id=G-QLX7TEST42&api_secret=s3cret";
    auto json = [](const std::string& name, const std::string& device) {
        return "{\"client_id\":\"{C2}\"," + device + "\"events\":[{\"name\":\"" + name +
               "\",\"params\":{\"category\":\"quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_a\"}}]}";
    };
    EXPECT_EQ(Ask("POST", "/collect", Form(L"install_start") + "&ul=de").Status, 204u);
    EXPECT_EQ(Ask("POST", "/collect", Form(L"install_finish") + "&ul=DE").Status, 204u);
    EXPECT_EQ(Ask("POST", "/collect", Form(L"install_start")).Status, 204u);
    EXPECT_EQ(Ask("POST", ga4, json("install_start", "\"device\":{\"language\":\"pt-BR\"},")).Status, 204u);
    EXPECT_EQ(Ask("POST", ga4, json("install_cancel", "")).Status, 204u);
    AppResponse refused = Ask("POST", "/collect", Form(L"install_finish") + "&ul=de_DE");
    EXPECT_EQ(refused.Status, 400u);
    EXPECT_EQ(refused.Body, "the language refused: not a language tag (2-3 letters, then subtags of 1-8 letters or digits)\n");

    AppResponse funnel = Ask("GET", "/api/funnel?group=language");
    ASSERT_EQ(funnel.Status, 200u);
    EXPECT_NE(funnel.Body.find("\"group\":[\"language\"],\"rows\":["
                               "{\"language\":\"\",\"served\":0,\"starts\":1,\"pauses\":0,\"resumes\":0,\"cancels\":1,"
                               "\"finishes\":0,\"conversion\":0.0000},"
                               "{\"language\":\"de\",\"served\":0,\"starts\":1,\"pauses\":0,\"resumes\":0,\"cancels\":0,"
                               "\"finishes\":1,\"conversion\":1.0000},"
                               "{\"language\":\"pt-br\",\"served\":0,\"starts\":1,\"pauses\":0,\"resumes\":0,\"cancels\":0,"
                               "\"finishes\":0,\"conversion\":0.0000}]"),
              std::string::npos)
        << funnel.Body;
    funnel = Ask("GET", "/api/funnel?group=campaign,language");
    ASSERT_EQ(funnel.Status, 200u);
    EXPECT_NE(funnel.Body.find("{\"campaign\":\"spring\",\"language\":\"de\",\"served\":0,\"starts\":1,"), std::string::npos)
        << funnel.Body;
    AppResponse wrong = Ask("GET", "/api/funnel?group=campaign,browser");
    EXPECT_EQ(wrong.Status, 400u);
    EXPECT_EQ(wrong.Body, "group is a list of campaign, version, day and language\n");
    // The page carries the languages' figures for its table.
    AppResponse page = Ask("GET", "/");
    EXPECT_NE(page.Body.find("\"languages\":[{\"language\":\"\",\"starts\":1,"), std::string::npos);
}

TEST_F(CollectApp, ThePageAndTheFiguresNeedTheTokenExceptFromLoopback) {
    const std::string token(40, 't');
    struct Case {
        std::string Target, Peer;
        bool Forwarded;
        std::string Authorization;
        unsigned Status;
    } cases[] = {
        {"/", "127.0.0.1", false, "", 200},
        {"/", "::1", false, "", 200},
        {"/", "192.0.2.7", false, "", 401},
        {"/", "127.0.0.1", true, "", 401},  // a proxy in front: every client looks local
        {"/?token=" + token, "192.0.2.7", false, "", 200},
        {"/?token=" + token + "x", "192.0.2.7", false, "", 401},
        {"/api/funnel", "192.0.2.7", false, "Bearer " + token, 200},
        {"/api/funnel", "192.0.2.7", false, "Bearer nope", 401},
        {"/api/funnel?group=browser", "127.0.0.1", false, "", 400},
        {"/api/funnel?from=2026-12-10&to=2026-12-01", "127.0.0.1", false, "", 400},
        {"/api/funnel?color=red", "127.0.0.1", false, "", 400},
    };
    for (const Case& c : cases) {
        AppResponse answer = Ask("GET", c.Target, "", c.Peer, c.Forwarded, c.Authorization);
        EXPECT_EQ(answer.Status, c.Status) << c.Target << " from " << c.Peer;
    }
    AppResponse page = Ask("GET", "/");
    EXPECT_EQ(page.ContentType, "text/html; charset=utf-8");
    EXPECT_NE(page.Body.find("<script id=\"funnel\" type=\"application/json\">{\"from\":\"2026-09-12\""), std::string::npos);
    for (const char* reference : {"src=", "href=", "url(", "@import"})  // no asset from elsewhere
        EXPECT_EQ(page.Body.find(reference), std::string::npos) << reference;
}
