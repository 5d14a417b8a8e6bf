// The body of an analytics event.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/uPayload.h"
#include "analytics/uRetryPause.h"
#include "tests/unit/JsonFixture.h"

namespace {

payload::TEventFields Ordinary() {
    return {L"UA-12345678-1", L"{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}",
            L"quellox1.6.9restart-affiliate_31095-ab_afterinstall_a", L"install_start", L"", 0, L"", L""};
}

}  // namespace

TEST(Payload, OrdinaryEventAsTheServiceExpectsIt) {
    EXPECT_EQ(payload::ComposePayload(Ordinary()),
              L"v=1&tid=UA-12345678-1&cid={0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}&t=event"
              L"&ec=quellox1.6.9restart-affiliate_31095-ab_afterinstall_a&ea=install_start&el=&ev=0");
}

TEST(Payload, EmptyClientIdAndNegativeValue) {
    payload::TEventFields fields = Ordinary();
    fields.ClientID.clear();
    fields.Label = L"label";
    fields.Value = -7;
    EXPECT_EQ(payload::ComposePayload(fields),
              L"v=1&tid=UA-12345678-1&cid=&t=event&ec=quellox1.6.9restart-affiliate_31095-ab_afterinstall_a"
              L"&ea=install_start&el=label&ev=-7");
}

TEST(Payload, OutsideValuesCannotAddOrChangeAField) {
    const struct {
        const wchar_t* Campaign;
        const wchar_t* Encoded;
    } cases[] = {
        {L"a&ev=5", L"a%26ev%3D5"},
        {L"x&cid=evil", L"x%26cid%3Devil"},
        {L"spring sale+50%", L"spring%20sale%2B50%25"},
        {L"tag#frag", L"tag%23frag"},
        {L"line\r\nbreak\t", L"line%0D%0Abreak%09"},
        {L"caf\u00E9\U0001F600", L"caf%C3%A9%F0%9F%98%80"},
        {L"\xD800x", L"%EF%BF%BDx"},
        {L"quotes\"<>{}|", L"quotes\"<>{}|"},
        {L"del\x7F~", L"del%7F~"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Campaign)));
        payload::TEventFields fields = Ordinary();
        fields.Category = std::wstring(L"quellox1.6.9restart-") + c.Campaign;
        std::wstring body = payload::ComposePayload(fields);
        EXPECT_NE(body.find(std::wstring(L"&ec=quellox1.6.9restart-") + c.Encoded + L"&ea=install_start&"),
                  std::wstring::npos);
        EXPECT_EQ(std::count(body.begin(), body.end(), L'&'), 7);
        EXPECT_EQ(std::count(body.begin(), body.end(), L'='), 8);
    }
}

// The GA4 form: a JSON body, read back with a strict reader.

namespace {

using namespace std::literals;

constexpr const wchar_t* SessionID = L"1796889600";

struct TExpectedEvent {
    std::string Category;
    std::string Label;  // absent from the body when empty
    std::string Value;
};

// The body holds exactly the fields of one event, with these values.
void ExpectEvent(const std::string& body, const payload::TEventFields& fields, const TExpectedEvent& expected) {
    std::optional<TJson> root = ParseJson(body);
    ASSERT_TRUE(root.has_value()) << body;
    ASSERT_EQ(root->Kind, TJson::jkObject);
    EXPECT_EQ(root->Names(), (std::vector<std::string>{"client_id", "events"}));
    const TJson* clientID = root->Find("client_id");
    ASSERT_NE(clientID, nullptr);
    EXPECT_EQ(clientID->Kind, TJson::jkString);
    EXPECT_EQ(clientID->Text, std::string(fields.ClientID.begin(), fields.ClientID.end()));

    const TJson* events = root->Find("events");
    ASSERT_NE(events, nullptr);
    ASSERT_EQ(events->Kind, TJson::jkArray);
    ASSERT_EQ(events->Items.size(), 1u);
    const TJson& event = events->Items[0];
    EXPECT_EQ(event.Names(), (std::vector<std::string>{"name", "params"}));
    ASSERT_NE(event.Find("name"), nullptr);
    EXPECT_EQ(event.Find("name")->Text, std::string(fields.Name.begin(), fields.Name.end()));

    const TJson* params = event.Find("params");
    ASSERT_NE(params, nullptr);
    std::vector<std::string> names{"category", "value", "engagement_time_msec", "session_id"};
    if (!expected.Label.empty()) names.insert(names.begin() + 1, "label");
    ASSERT_EQ(params->Names(), names);
    const struct {
        const char* Name;
        TJson::TKind Kind;
        std::string Text;
    } values[] = {
        {"category", TJson::jkString, expected.Category},
        {"label", TJson::jkString, expected.Label},
        {"value", TJson::jkNumber, expected.Value},
        {"engagement_time_msec", TJson::jkNumber, "1"},
        {"session_id", TJson::jkString, "1796889600"},
    };
    for (const auto& v : values) {
        const TJson* member = params->Find(v.Name);
        if (member == nullptr) continue;  // only the label may be absent, checked above
        EXPECT_EQ(member->Kind, v.Kind) << v.Name;
        EXPECT_EQ(member->Text, v.Text) << v.Name;
    }
}

}  // namespace

TEST(JsonPayload, OrdinaryEventAsTheServiceExpectsIt) {
    EXPECT_EQ(payload::ComposeJsonPayload(Ordinary(), SessionID),
              "{\"client_id\":\"{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}\",\"events\":[{\"name\":\"install_start\","
              "\"params\":{\"category\":\"quellox1.6.9restart-affiliate_31095-ab_afterinstall_a\",\"value\":0,"
              "\"engagement_time_msec\":1,\"session_id\":\"1796889600\"}}]}");
}

TEST(JsonPayload, EveryBodyParsesAndHoldsExactlyTheEventsFields) {
    const struct {
        const char* What;
        std::wstring_view Campaign;
        const wchar_t* Label;
        std::int32_t Value;
        std::string_view Category;  // as the service reads it back, UTF-8
        const char* Label8;
        const char* Value8;
    } cases[] = {
        {"ordinary", L"affiliate", L"", 0, "quellox1.6.9restart-affiliate", "", "0"},
        {"label and value", L"affiliate", L"resumed at 40%", -7, "quellox1.6.9restart-affiliate",
         "resumed at 40%", "-7"},
        {"quotes", L"say \"hi\"", L"\"", 1, "quellox1.6.9restart-say \"hi\"", "\"", "1"},
        {"backslashes", L"C:\\x\\", L"\\\"", 2, "quellox1.6.9restart-C:\\x\\", "\\\"", "2"},
        {"control characters", L"a\r\nb\t\x01\x1F\x7F\b\f", L"\n", 3,
         "quellox1.6.9restart-a\r\nb\t\x01\x1F\x7F\b\f", "\n", "3"},
        {"NUL", L"a\0b"sv, L"", 0, "quellox1.6.9restart-a\0b"sv, "", "0"},
        {"non-ASCII", L"caf\u00E9 \u65E5\u672C \U0001F600", L"\u00FC", 2147483647,
         "quellox1.6.9restart-caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", "\xC3\xBC", "2147483647"},
        {"lone surrogates", L"\xD800x\xDC00", L"", -2147483647 - 1,
         "quellox1.6.9restart-\xEF\xBF\xBDx\xEF\xBF\xBD", "", "-2147483648"},
        {"a field smuggled in", L"x\",\"value\":5,\"y\":\"", L"\"},{\"name\":\"z", 0,
         "quellox1.6.9restart-x\",\"value\":5,\"y\":\"", "\"},{\"name\":\"z", "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        payload::TEventFields fields = Ordinary();
        fields.Category = L"quellox1.6.9restart-" + std::wstring(c.Campaign);
        fields.Label = c.Label;
        fields.Value = c.Value;
        ExpectEvent(payload::ComposeJsonPayload(fields, SessionID), fields,
                    {std::string(c.Category), c.Label8, c.Value8});
    }
}

TEST(JsonPayload, EmptyClientIdStaysAnEmptyString) {
    payload::TEventFields fields = Ordinary();
    fields.ClientID.clear();
    ExpectEvent(payload::ComposeJsonPayload(fields, SessionID), fields,
                {"quellox1.6.9restart-affiliate_31095-ab_afterinstall_a", "", "0"});
}

TEST(JsonPayload, TheReaderRefusesWhatIsNotJson) {
    const char* broken[] = {
        "{\"a\":\"x\ny\"}",       // raw control character in a string
        "{\"a\":\"x\"y\"}",       // quote not escaped
        "{\"a\":\"x\\y\"}",       // backslash not escaped
        "{\"a\":\"\xC3\"}",       // truncated UTF-8
        "{\"a\":\"\xED\xA0\x80\"}",  // a surrogate in UTF-8
        "{\"a\":1}x",             // text after the value
        "{\"a\":01}",             // leading zero
        "{\"a\":\"\\ud800\"}",    // lone surrogate escape
    };
    for (const char* text : broken) EXPECT_FALSE(ParseJson(text).has_value()) << text;
    EXPECT_TRUE(ParseJson("{\"a\":[1,-2.5e3,true,null,\"\\u00e9\\ud83d\\ude00\"]}").has_value());
}

TEST(JsonPayload, CollectionObjectCarriesTheIdAndSecretAsQuery) {
    const struct {
        const wchar_t* MeasurementID;
        const wchar_t* ApiSecret;
        const wchar_t* Object;
    } cases[] = {
        {L"G-ABC123XYZ9", L"SsxQ2nH0Ro-9XbX6x_ZsEA", L"/mp/collect?measurement_id=G-ABC123XYZ9&api_secret=SsxQ2nH0Ro-9XbX6x_ZsEA"},
        {L"G-1", L"a&b=c#d%e+f", L"/mp/collect?measurement_id=G-1&api_secret=a%26b%3Dc%23d%25e%2Bf"},
        {L"G-1", L"\"quoted\\\"", L"/mp/collect?measurement_id=G-1&api_secret=\"quoted\\\""},
    };
    for (const auto& c : cases) EXPECT_EQ(payload::ComposeGA4Object(c.MeasurementID, c.ApiSecret), c.Object);
}

TEST(JsonPayload, SessionIdIsTheStartInUnixSeconds) {
    const struct {
        std::uint64_t FileTime;
        const wchar_t* SessionID;
    } cases[] = {
        {116444736000000000ull, L"0"},
        {116444736000000000ull + 9999999, L"0"},
        {133801632000000000ull, L"1735689600"},  // 2025-01-01 00:00:00 UTC
        {133801632123456789ull, L"1735689612"},
        {0, L"0"},
    };
    for (const auto& c : cases) EXPECT_EQ(payload::SessionIDAt(c.FileTime), c.SessionID);
}

TEST(RetryPause, GrowsFrom10MsDoublingTo16SecondsWithAtMostHalfTakenOff) {
    const struct {
        std::uint32_t Failures;
        std::uint32_t Full;
    } cases[] = {{1, 10}, {2, 20}, {3, 40}, {8, 1280}, {11, 10240}, {12, 16000}, {40, 16000}, {0xFFFFFFFFu, 16000}};
    for (const auto& c : cases) {
        EXPECT_EQ(retry::PauseMilliseconds(c.Failures, 0), c.Full) << c.Failures;
        EXPECT_EQ(retry::PauseMilliseconds(c.Failures, c.Full / 2), c.Full - c.Full / 2) << c.Failures;
        for (std::uint32_t random : {1u, 7u, 12345u, 0xFFFFFFFFu}) {
            std::uint32_t pause = retry::PauseMilliseconds(c.Failures, random);
            EXPECT_GE(pause, c.Full - c.Full / 2) << c.Failures << " " << random;
            EXPECT_LE(pause, c.Full) << c.Failures << " " << random;
        }
    }
}

TEST(RetryPause, AFailingCollectorSeesAFewAttemptsAMinuteNotDozensASecond) {
    // Attempts that fail at once, with the shortest pauses the jitter allows.
    std::uint32_t elapsed = 0;
    int attempts = 0;
    for (std::uint32_t failures = 1; elapsed < 10 * 60 * 1000; ++failures, ++attempts)
        elapsed += retry::PauseMilliseconds(failures, retry::LongestPauseMilliseconds / 2);
    // Ten minutes: about eleven attempts in the first 16 s, then one every 8 s at most.
    EXPECT_LE(attempts, 11 + 10 * 60 / 8);
    EXPECT_GE(attempts, 10 * 60 / 16);
}

TEST(JsonPayload, NoValueIsLongerThan100CharactersAndTheCampaignStaysADimension) {
    const std::wstring emoji = L"\U0001F600";  // one character, two UTF-16 units
    const struct {
        const char* What;
        std::wstring Campaign;
        std::string Category;  // UTF-8, as the service reads it
        std::string Campaign8;
    } cases[] = {
        // The version tag and a hyphen (20) and an 83-character campaign: 103.
        {"long campaign", std::wstring(83, L'c'), "quellox1.6.9restart-" + std::string(80, 'c'), std::string(83, 'c')},
        {"campaign of 100", std::wstring(100, L'd'), "quellox1.6.9restart-" + std::string(80, 'd'),
         std::string(100, 'd')},
        // The 100th character is a surrogate pair: kept whole, never split.
        {"cut at a pair", std::wstring(99, L'e') + emoji + L"tail", "quellox1.6.9restart-" + std::string(80, 'e'),
         std::string(99, 'e') + "\xF0\x9F\x98\x80"},
        {"pair at the category's end", std::wstring(79, L'f') + emoji + emoji,
         "quellox1.6.9restart-" + std::string(79, 'f') + "\xF0\x9F\x98\x80", std::string(79, 'f') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        payload::TEventFields fields = Ordinary();
        fields.Campaign = c.Campaign;
        fields.Category = L"quellox1.6.9restart-" + c.Campaign;
        std::optional<TJson> root = ParseJson(payload::ComposeJsonPayload(fields, SessionID));
        ASSERT_TRUE(root.has_value());
        const TJson& params = *root->Find("events")->Items[0].Find("params");
        EXPECT_EQ(params.Names(),
                  (std::vector<std::string>{"category", "campaign", "value", "engagement_time_msec", "session_id"}));
        EXPECT_EQ(params.Find("category")->Text, c.Category);
        EXPECT_EQ(params.Find("campaign")->Text, c.Campaign8);
    }
    EXPECT_EQ(payload::CutToCharacters(L"ab" + emoji, 3), L"ab" + emoji);
    EXPECT_EQ(payload::CutToCharacters(L"ab" + emoji, 2), L"ab");
    EXPECT_EQ(payload::CutToCharacters(L"", 100), L"");
}

// The language the window showed rides in each form's own field, encoded as
// every other value.
TEST(Payload, TheWindowsLanguageRidesInEachFormsField) {
    const struct {
        const wchar_t* Language;
        const wchar_t* Form;   // what ends the v1 body
        const char* Json;      // the GA4 device's language, or nullptr: none
    } cases[] = {
        {L"", L"&ev=0", nullptr},
        {L"en", L"&ev=0&ul=en", "en"},
        {L"pt-br", L"&ev=0&ul=pt-br", "pt-br"},
        {L"x&ev=9", L"&ev=0&ul=x%26ev%3D9", "x&ev=9"},
        {L"a\"b", L"&ev=0&ul=a\"b", "a\"b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.Language)));
        payload::TEventFields fields = Ordinary();
        fields.Language = c.Language;
        const std::wstring form = payload::ComposePayload(fields);
        const std::wstring end = c.Form;
        ASSERT_GE(form.size(), end.size());
        EXPECT_EQ(form.substr(form.size() - end.size()), end);

        std::optional<TJson> root = ParseJson(payload::ComposeJsonPayload(fields, SessionID));
        ASSERT_TRUE(root.has_value());
        const TJson* device = root->Find("device");
        if (c.Json == nullptr) {
            EXPECT_EQ(root->Names(), (std::vector<std::string>{"client_id", "events"}));
            continue;
        }
        EXPECT_EQ(root->Names(), (std::vector<std::string>{"client_id", "events", "device"}));
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->Names(), std::vector<std::string>{"language"});
        ASSERT_NE(device->Find("language"), nullptr);
        EXPECT_EQ(device->Find("language")->Text, c.Json);
    }
}
