// A small strict JSON reader (RFC 8259) for request bodies, and the string
// escaping of the collector's own JSON answers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace collect::json {

struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object } Type = Kind::Null;
    bool Boolean = false;
    std::string Text;  // a string's UTF-8, or a number as written
    std::vector<Value> Items;
    // An object's members: their keys, and their values in the same order.
    std::vector<std::string> Keys;
    std::vector<Value> Members;

    // The member named `key`, or null.
    const Value* Find(std::string_view key) const;
};

// Parses the whole of `text`: one value, blanks around it. Nesting deeper
// than `depthLimit`, a key given twice, bad escapes, invalid UTF-8 and
// anything after the value are refused with a one-line reason.
bool Parse(std::string_view text, Value& value, std::string& reason, int depthLimit = 16);

// `text` as a JSON string, quotes included; '<' and '>' are escaped too, so
// that the text can stand inside an HTML page's script.
std::string Quote(std::string_view text);

}  // namespace collect::json
