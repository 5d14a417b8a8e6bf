// The collector reads the installer's events exactly as the installer writes
// them (the bodies here come from the installer's own composers), and
// refuses everything else whole, with its reason.
#include <gtest/gtest.h>

#include "analytics/uPayload.h"
#include "host/collect/Event.h"
#include "host/collect/Json.h"

namespace {

using collect::Event;

const collect::Acceptance Accepted{{"UA-00000000-0"}, {{"G-QLX7TEST42", "Qx7-test_s3cret+&=%/"}}};
const std::wstring Client = L"{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}";

std::string Form(const std::wstring& category, const std::wstring& name = L"install_start",
                 const std::wstring& tracking = L"UA-00000000-0") {
    payload::TEventFields fields{tracking, Client, category, name, L"", 0, L"", L""};
    std::wstring body = payload::ComposePayload(fields);
    return std::string(body.begin(), body.end());
}

std::string Ga4(const std::wstring& campaign, const std::wstring& name = L"install_finish") {
    payload::TEventFields fields{L"", Client, L"quellox1.6.9restart-" + campaign, name, L"", 0, campaign, L""};
    return payload::ComposeJsonPayload(fields, L"1796889600");
}

}  // namespace

TEST(CollectEvents, TheInstallersFormBodiesAreRead) {
    struct Case {
        std::wstring Category;
        std::string Campaign, Variant;
    } cases[] = {
        {L"quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_a", "spring", "a"},
        {L"quellox1.6.9restart-affiliate_31095-ab_afterinstall_b", "", "b"},
        {L"quellox1.6.9restart-spring sale-affiliate_31095-ab_afterinstall_b", "spring sale", "b"},
        {L"quellox1.6.9restart-a&ev=5&cid=x y+%-affiliate_31095-ab_afterinstall_a", "a&ev=5&cid=x y+%", "a"},
        {L"quellox1.6.9restart-" + std::wstring(100, L'~') + L"-affiliate_31095-ab_afterinstall_a",
         std::string(100, '~'), "a"},
    };
    for (const Case& c : cases) {
        Event event;
        std::string reason;
        ASSERT_TRUE(collect::ParseForm(Form(c.Category), Accepted, event, reason)) << reason;
        EXPECT_EQ(event.Campaign, c.Campaign);
        EXPECT_EQ(event.Variant, c.Variant);
        EXPECT_EQ(event.Version, "quellox1.6.9restart");
        EXPECT_EQ(event.Name, "install_start");
        EXPECT_EQ(event.ClientID, std::string(Client.begin(), Client.end()));
        EXPECT_EQ(event.Value, 0);
    }
}

TEST(CollectEvents, BadFormsAreRefusedWithTheirReason) {
    const std::wstring good = L"quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_a";
    std::string valid = Form(good);
    struct Case {
        std::string Body, Reason;
    } cases[] = {
        {Form(good, L"install_explode"), "unknown event name"},
        {Form(good, L"install_start", L"UA-12345678-1"), "unknown tracking id"},
        {valid + "&ev=1", "malformed form: the field ev is given twice"},
        {valid + "&x=1", "malformed form: an unknown field"},
        {valid.substr(0, valid.find("&ev=")), "malformed form: the field ev is missing"},
        {"v=1&tid=UA-00000000-0&cid=%zz&t=event&ec=a&ea=install_start&el=&ev=0", "malformed form: bad percent-encoding"},
        {"v=1&tid=UA-00000000-0&cid=%4&t=event&ec=a&ea=install_start&el=&ev=0", "malformed form: bad percent-encoding"},
        {"v=1&tid", "malformed form: a field has no value"},
        {"", "malformed form: the field v is missing"},
        {Form(good).replace(0, 3, "v=2"), "malformed form: v is not 1"},
        {valid.substr(0, valid.find("&ev=")) + "&ev=2147483648", "malformed form: ev is not a 32-bit integer"},
        {valid.substr(0, valid.find("&ev=")) + "&ev=1e3", "malformed form: ev is not a 32-bit integer"},
        {Form(L"quellox1.6.9restart-caf\u00e9-affiliate_31095-ab_afterinstall_a"),
         "the campaign refused: only printable ASCII characters are allowed"},
        {Form(L"quellox1.6.9restart-" + std::wstring(101, L'x') + L"-affiliate_31095-ab_afterinstall_a"),
         "the campaign refused: longer than 100 characters"},
        {Form(L"quellox1.6.9restart-spring -affiliate_31095-ab_afterinstall_a"),
         "the campaign refused: a blank at either end would be lost"},
        {Form(L"quellox1.6.9restart-sp\"ring-affiliate_31095-ab_afterinstall_a"),
         "the campaign refused: double quotes and backslashes are not allowed"},
        {Form(L"quellox1.6.9restart-spring"), "the campaign does not end in the A/B suffix -affiliate_31095-ab_afterinstall_a"},
        {Form(L"quellox1.6.9restart"), "the category is not <version tag>-<campaign>"},
        {Form(std::wstring(101, L'q') + L"-affiliate_31095-ab_afterinstall_a"),
         "the version tag refused: longer than 100 characters"},
        {Form(L"quellox 1.6-affiliate_31095-ab_afterinstall_a"),
         "the version tag holds a character other than letters, digits, '.' and '_'"},
    };
    for (const Case& c : cases) {
        Event event;
        event.Name = "untouched";
        std::string reason;
        EXPECT_FALSE(collect::ParseForm(c.Body, Accepted, event, reason)) << c.Body;
        EXPECT_EQ(reason, c.Reason) << c.Body;
        EXPECT_EQ(event.Name, "untouched");
    }
}

TEST(CollectEvents, TheInstallersGa4BodiesAreRead) {
    struct Case {
        std::wstring Campaign;
        std::string Expected, Variant;
    } cases[] = {
        {L"spring-affiliate_31095-ab_afterinstall_a", "spring", "a"},
        {L"affiliate_31095-ab_afterinstall_b", "", "b"},
        // A long cookie: the installer cuts the campaign at the service's
        // limit, suffix and all; it is kept as it came.
        {std::wstring(90, L'c') + L"-affiliate_31095-ab_afterinstall_a", std::string(90, 'c') + "-affiliate", ""},
    };
    for (const Case& c : cases) {
        std::vector<Event> events;
        std::string reason;
        ASSERT_TRUE(collect::ParseJson(Ga4(c.Campaign), events, reason)) << reason;
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].Campaign, c.Expected);
        EXPECT_EQ(events[0].Variant, c.Variant);
        EXPECT_EQ(events[0].Name, "install_finish");
        EXPECT_EQ(events[0].SessionID, "1796889600");
        EXPECT_EQ(events[0].Version, "quellox1.6.9restart");
    }
}

TEST(CollectEvents, BadJsonIsRefusedWhole) {
    const std::string good = Ga4(L"spring-affiliate_31095-ab_afterinstall_a");
    std::string twoEvents = good;
    std::size_t events = twoEvents.find("[{");
    std::string oneEvent = good.substr(events + 1, good.rfind("]") - events - 1);
    std::string many = "{\"client_id\":\"x\",\"events\":[";
    for (int i = 0; i < 26; ++i) many += (i ? "," : "") + oneEvent;
    many += "]}";
    std::string goodThenBad = "{\"client_id\":\"x\",\"events\":[" + oneEvent + ",{\"name\":\"install_nope\",\"params\":{\"category\":\"q-affiliate_31095-ab_afterinstall_a\"}}]}";
    struct Case {
        std::string Body, Reason;
    } cases[] = {
        {good.substr(0, good.size() - 1), "malformed JSON: an object that does not end"},
        {good + "x", "malformed JSON: text after the JSON value"},
        {"[]", "the JSON is not an object"},
        {"{\"events\":[]}", "the JSON has no \"client_id\""},
        {"{\"client_id\":1,\"events\":[]}", "the JSON's \"client_id\" is of another type"},
        {"{\"client_id\":\"x\",\"events\":[]}", "the JSON holds no event or more than 25"},
        {many, "the JSON holds no event or more than 25"},
        {goodThenBad, "unknown event name"},
        {"{\"client_id\":\"x\",\"client_id\":\"y\"}", "malformed JSON: a key given twice"},
        {"{\"client_id\":\"\\ud800\"}", "malformed JSON: a lone surrogate"},
        {"{\"client_id\":\"\xc3\x28\"}", "malformed JSON: invalid UTF-8"},
        {"{\"client_id\":\"\xe9\"}", "malformed JSON: invalid UTF-8"},
        {"{\"client_id\":\"caf\xc3\xa9\",\"events\":[]}", "client_id refused: only printable ASCII characters are allowed"},
        {std::string(40, '[') + std::string(40, ']'), "malformed JSON: nested too deeply"},
        {"{\"client_id\":\"x\",\"events\":[{\"name\":\"install_start\",\"params\":{\"category\":\"q-affiliate_31095-ab_afterinstall_a\",\"value\":1.5}}]}",
         "the value is not a 32-bit integer"},
    };
    for (const Case& c : cases) {
        std::vector<Event> read{Event{}};
        std::string reason;
        EXPECT_FALSE(collect::ParseJson(c.Body, read, reason)) << c.Body;
        EXPECT_EQ(reason, c.Reason) << c.Body;
        EXPECT_EQ(read.size(), 1u);
    }
}

// The language the installer's window showed: optional in both forms (the
// copies already out there send none), lowercased, a tag of 2-3 letters and
// subtags of 1-8 letters or digits.
std::string WithDevice(const std::string& body, const std::string& device) {
    return "{\"device\":" + device + "," + body.substr(1);
}

TEST(CollectEvents, TheLanguageIsReadFromBothFormsWhenSent) {
    const std::string form = Form(L"quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_a");
    const std::string ga4 = Ga4(L"spring-affiliate_31095-ab_afterinstall_a");
    struct Case {
        std::string Form, Json, Language;
    } cases[] = {
        {form, ga4, ""},
        {form + "&ul=de", WithDevice(ga4, R"({"language":"de"})"), "de"},
        {form + "&ul=pt-BR", WithDevice(ga4, R"({"language":"pt-BR"})"), "pt-br"},
        {form + "&ul=ZH-cn", WithDevice(ga4, R"({"category":"desktop","language":"ZH-cn"})"), "zh-cn"},
        {form + "&ul=zh-abcdefgh-abcdefgh-abcdefgh-abcde", WithDevice(ga4, R"({"language":"zh-abcdefgh-abcdefgh-abcdefgh-abcde"})"),
         "zh-abcdefgh-abcdefgh-abcdefgh-abcde"},
        {"ul=he&" + form, WithDevice(ga4, R"({"language":"he"})"), "he"},
        {form, WithDevice(ga4, R"({"category":"desktop"})"), ""},
    };
    for (const Case& c : cases) {
        Event event;
        std::string reason;
        ASSERT_TRUE(collect::ParseForm(c.Form, Accepted, event, reason)) << c.Form << ": " << reason;
        EXPECT_EQ(event.Language, c.Language) << c.Form;
        EXPECT_EQ(event.Campaign, "spring") << c.Form;
        std::vector<Event> events;
        ASSERT_TRUE(collect::ParseJson(c.Json, events, reason)) << c.Json << ": " << reason;
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].Language, c.Language) << c.Json;
    }
}

TEST(CollectEvents, AMalformedLanguageIsRefusedInEitherForm) {
    const std::string form = Form(L"quellox1.6.9restart-spring-affiliate_31095-ab_afterinstall_a");
    const std::string ga4 = Ga4(L"spring-affiliate_31095-ab_afterinstall_a");
    const std::string notATag = "the language refused: not a language tag (2-3 letters, then subtags of 1-8 letters or digits)";
    const std::string tooLong = "the language refused: longer than 35 characters";
    // Each value as the form sends it (percent-encoded) and as JSON text.
    struct Case {
        std::string InForm, InJson, Reason;
    } tags[] = {
        {"", "", notATag},
        {"d", "d", notATag},
        {"deutsch", "deutsch", notATag},
        {"de_DE", "de_DE", notATag},
        {"de-", "de-", notATag},
        {"-de", "-de", notATag},
        {"de--at", "de--at", notATag},
        {"de-abcdefghi", "de-abcdefghi", notATag},
        {"1de", "1de", notATag},
        {"de+", "de ", notATag},
        {"d%C3%A9", "d\\u00e9", notATag},
        {"de%00", "de\\u0000", notATag},
        {"zh-abcdefgh-abcdefgh-abcdefgh-abcdef", "zh-abcdefgh-abcdefgh-abcdefgh-abcdef", tooLong},
    };
    for (const Case& c : tags) {
        Event event;
        event.Name = "untouched";
        std::string reason;
        EXPECT_FALSE(collect::ParseForm(form + "&ul=" + c.InForm, Accepted, event, reason)) << c.InForm;
        EXPECT_EQ(reason, c.Reason) << c.InForm;
        EXPECT_EQ(event.Name, "untouched");
        std::vector<Event> read{Event{}};
        EXPECT_FALSE(collect::ParseJson(WithDevice(ga4, "{\"language\":\"" + c.InJson + "\"}"), read, reason)) << c.InJson;
        EXPECT_EQ(reason, c.Reason) << c.InJson;
        EXPECT_EQ(read.size(), 1u);
    }
    struct Body {
        bool IsForm;
        std::string Text, Reason;
    } bodies[] = {
        {true, form + "&ul=de&ul=fr", "malformed form: the field ul is given twice"},
        {true, form + "&ul=d%e", "malformed form: bad percent-encoding"},
        {false, WithDevice(ga4, R"("de")"), "the JSON's \"device\" is of another type"},
        {false, WithDevice(ga4, R"([{"language":"de"}])"), "the JSON's \"device\" is of another type"},
        {false, WithDevice(ga4, R"({"language":5})"), "the JSON's \"language\" is of another type"},
        {false, WithDevice(ga4, R"({"language":null})"), "the JSON's \"language\" is of another type"},
        {false, WithDevice(ga4, R"({"language":["de"]})"), "the JSON's \"language\" is of another type"},
    };
    for (const Body& b : bodies) {
        std::string reason;
        if (b.IsForm) {
            Event event;
            EXPECT_FALSE(collect::ParseForm(b.Text, Accepted, event, reason)) << b.Text;
        } else {
            std::vector<Event> read;
            EXPECT_FALSE(collect::ParseJson(b.Text, read, reason)) << b.Text;
            EXPECT_TRUE(read.empty());
        }
        EXPECT_EQ(reason, b.Reason) << b.Text;
    }
}

TEST(CollectEvents, TheStreamsIdAndSecretAreChecked) {
    std::wstring object = payload::ComposeGA4Object(L"G-QLX7TEST42", L"Qx7-test_s3cret+&=%/");
    std::string query(object.begin() + static_cast<long>(object.find(L'?')) + 1, object.end());
    struct Case {
        std::string Query;
        bool Ok, Denied;
        std::string Reason;
    } cases[] = {
        {query, true, false, ""},
        {"measurement_id=G-QLX7TEST42&api_secret=Qx7-test_s3cret", false, true, "wrong measurement_id or api_secret"},
        {"measurement_id=G-OTHER&api_secret=Qx7-test_s3cret%2B%26%3D%25%2F", false, true, "wrong measurement_id or api_secret"},
        {"measurement_id=G-QLX7TEST42", false, false, "the query needs measurement_id and api_secret"},
        {query + "&api_secret=x", false, false, "a query field is given twice"},
        {query + "&debug=1", false, false, "unknown query field"},
    };
    for (const Case& c : cases) {
        std::string reason;
        bool denied = false;
        EXPECT_EQ(collect::CheckStream(c.Query, Accepted, reason, denied), c.Ok) << c.Query;
        EXPECT_EQ(denied, c.Denied) << c.Query;
        if (!c.Ok) {
            EXPECT_EQ(reason, c.Reason) << c.Query;
        }
    }
}

TEST(CollectJson, QuotedTextCannotEndItsStringOrAScript) {
    EXPECT_EQ(collect::json::Quote("a\"b\\c</script>\n\x01"), "\"a\\\"b\\\\c\\u003c/script\\u003e\\n\\u0001\"");
    collect::json::Value value;
    std::string reason;
    ASSERT_TRUE(collect::json::Parse("{\"k\":\"\\ud83d\\ude00 \\u00e9\",\"n\":-0.5e+3,\"t\":[true,false,null]}", value, reason));
    EXPECT_EQ(value.Find("k")->Text, "\xf0\x9f\x98\x80 \xc3\xa9");
    EXPECT_EQ(value.Find("n")->Text, "-0.5e+3");
    EXPECT_EQ(value.Find("t")->Items.size(), 3u);
}
