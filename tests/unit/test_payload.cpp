// The body of an analytics event.
#include <gtest/gtest.h>

#include <algorithm>

#include "analytics/uPayload.h"

namespace {

payload::TEventFields Ordinary() {
    return {L"UA-12345678-1", L"{0F4A3C2B-1D2E-4F50-8A6B-7C8D9E0F1A2B}",
            L"quellox1.6.9restart-affiliate_31095-ab_afterinstall_a", L"install_start", L"", 0};
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
