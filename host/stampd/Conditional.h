// The conditional and partial parts of a download: Range, If-Range and
// If-None-Match against a copy's strong tag.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace stampd {

enum class RangeKind { Whole, Part, Unsatisfiable };

// One "bytes=" range of a body of `size` bytes: [first, last] inclusive.
// A header that is absent, malformed or asks for several ranges gets the
// whole body, as a server may answer those.
RangeKind ParseRange(std::string_view header, std::size_t size, std::size_t& first, std::size_t& last);

// If-None-Match: "*" or a list of tags, compared weakly (a W/ prefix ignored).
bool MatchesAnyTag(std::string_view header, const std::string& etag);

// If-Range: the range applies only when the header is this very tag (a
// strong comparison; a date never matches a copy made per request).
bool IfRangeHolds(std::string_view header, const std::string& etag);

}  // namespace stampd
