// A strict JSON reader for the tests (RFC 8259): the whole text must be one
// value, strings must be valid UTF-8 without raw control characters, and
// every escape must be one the grammar allows. Strings come back decoded, as
// UTF-8; numbers as their literal text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct TJson {
    enum TKind { jkNull, jkBool, jkNumber, jkString, jkArray, jkObject };
    TKind Kind = jkNull;
    std::string Text;  // decoded string, number literal, "true" or "false"
    std::vector<TJson> Items;
    // An object's members in the text's order: names and values side by side.
    std::vector<std::string> MemberNames;
    std::vector<TJson> MemberValues;

    // The member named `name`, or nullptr.
    const TJson* Find(std::string_view name) const;
    const std::vector<std::string>& Names() const { return MemberNames; }
};

std::optional<TJson> ParseJson(std::string_view text);
