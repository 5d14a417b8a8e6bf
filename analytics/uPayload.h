// The body of one analytics event, in the collection service's form
// encoding. Pure.
#pragma once

#include <cstdint>
#include <string>

namespace payload {

struct TEventFields {
    std::wstring TrackingID;
    std::wstring ClientID;
    std::wstring Category;
    std::wstring Name;
    std::wstring Label;
    std::int32_t Value = 0;
};

// "v=1&tid=%0:s&cid=%1:s&t=event&ec=%2:s&ea=%3:s&el=%4:s&ev=%5:d"
std::wstring ComposePayload(const TEventFields& fields);

// A value made safe for the body: "&", "=", "+", "%", "#", blanks, control
// characters and everything outside printable ASCII are percent-encoded (as
// UTF-8), so that no value can add or change a field. Every value the
// program produces itself (identifiers, the braced client id, event names,
// the built-in campaign) passes unchanged.
std::wstring EncodeFormValue(const std::wstring& value);

}  // namespace payload
