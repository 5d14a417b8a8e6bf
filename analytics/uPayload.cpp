// The body of one analytics event. Pure.
#include "analytics/uPayload.h"

#include "platform/Strings.h"

namespace payload {

namespace {

bool PassesUnchanged(char32_t c) {
    return c > 0x20 && c < 0x7F && c != U'&' && c != U'=' && c != U'+' && c != U'%' && c != U'#';
}

}  // namespace

std::wstring EncodeFormValue(const std::wstring& value) {
    std::wstring out;
    platform::AppendPercentEncoded(out, value, PassesUnchanged);
    return out;
}

std::wstring ComposePayload(const TEventFields& f) {
    std::wstring body = L"v=1&tid=" + EncodeFormValue(f.TrackingID);
    body += L"&cid=" + EncodeFormValue(f.ClientID);
    body += L"&t=event&ec=" + EncodeFormValue(f.Category);
    body += L"&ea=" + EncodeFormValue(f.Name);
    body += L"&el=" + EncodeFormValue(f.Label);
    body += L"&ev=";
    platform::AppendDecimal(body, f.Value);
    return body;
}

}  // namespace payload
