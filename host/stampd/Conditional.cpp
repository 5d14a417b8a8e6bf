// The conditional and partial parts of a download.
#include "host/stampd/Conditional.h"

namespace stampd {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// Decimal digits only, without overflow; false for anything else.
bool ReadNumber(std::string_view text, std::size_t& number) {
    if (text.empty() || text.size() > 18) return false;
    number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<std::size_t>(c - '0');
    }
    return true;
}

}  // namespace

RangeKind ParseRange(std::string_view header, std::size_t size, std::size_t& first, std::size_t& last) {
    header = Trim(header);
    constexpr std::string_view unit = "bytes=";
    if (header.substr(0, unit.size()) != unit) return RangeKind::Whole;
    std::string_view ranges = Trim(header.substr(unit.size()));
    if (ranges.find(',') != std::string_view::npos) return RangeKind::Whole;
    std::size_t dash = ranges.find('-');
    if (dash == std::string_view::npos) return RangeKind::Whole;
    std::string_view from = Trim(ranges.substr(0, dash)), to = Trim(ranges.substr(dash + 1));
    std::size_t a = 0, b = 0;
    if (from.empty()) {  // the last b bytes
        if (!ReadNumber(to, b)) return RangeKind::Whole;
        if (b == 0 || size == 0) return RangeKind::Unsatisfiable;
        first = b >= size ? 0 : size - b;
        last = size - 1;
        return RangeKind::Part;
    }
    if (!ReadNumber(from, a)) return RangeKind::Whole;
    if (to.empty()) b = size == 0 ? 0 : size - 1;
    else if (!ReadNumber(to, b) || b < a) return RangeKind::Whole;
    if (a >= size) return RangeKind::Unsatisfiable;
    first = a;
    last = b >= size ? size - 1 : b;
    return RangeKind::Part;
}

bool MatchesAnyTag(std::string_view header, const std::string& etag) {
    header = Trim(header);
    if (header == "*") return true;
    while (!header.empty()) {
        std::size_t comma = header.find(',');
        std::string_view tag = Trim(header.substr(0, comma));
        if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
        if (tag == etag) return true;
        header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    }
    return false;
}

bool IfRangeHolds(std::string_view header, const std::string& etag) { return Trim(header) == etag; }

}  // namespace stampd
