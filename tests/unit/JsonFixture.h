// A strict JSON reader for the tests (RFC 8259): the whole text must be one
// value, strings must be valid UTF-8 without raw control characters, and
// every escape must be one the grammar allows. Strings come back decoded, as
// UTF-8; numbers as their literal text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct TJson {
    enum TKind { jkNull, jkBool, jkNumber, jkString, jkArray, jkObject };
    TKind Kind = jkNull;
    std::string Text;  // decoded string, number literal, "true" or "false"
    std::vector<TJson> Items;
    std::vector<std::pair<std::string, TJson>> Members;  // in the text's order

    // The member named `name`, or nullptr.
    const TJson* Find(std::string_view name) const;
    // The members' names, in order.
    std::vector<std::string> Names() const;
};

std::optional<TJson> ParseJson(std::string_view text);
