// Small string helpers shared by the units; pure, no platform calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Removes every character with a code up to U+0020 (blanks, control
// characters, NUL) from both ends.
std::wstring Trim(std::wstring_view text);

// The part after the last backslash or colon.
std::wstring ExtractFileName(std::wstring_view path);

// The part up to, not including, the last dot that follows the last
// backslash or colon, then AExt; a name without such a dot stays whole.
std::wstring ChangeFileExt(std::wstring_view AName, std::wstring_view AExt);

// The "\\?\" form of a full path that starts with a drive letter, which
// the file functions take past MAX_PATH: a setup program may unpack trees
// deeper than that. (%ProgramData% is always on a local drive.)
std::wstring LongPath(std::wstring_view path);

// Appends a number in decimal, or in upper-case hex padded to `digits`.
void AppendDecimal(std::wstring& text, std::int64_t value);
void AppendHex(std::wstring& text, std::uint64_t value, int digits);

// Appends `value`, with every character for which `keep` is false written as
// its UTF-8 bytes in %XX form; a lone surrogate counts as U+FFFD.
void AppendPercentEncoded(std::wstring& out, std::wstring_view value, bool (*keep)(char32_t));

// The code point at `i` of a UTF-16 text, moving `i` past it; a lone
// surrogate counts as U+FFFD.
char32_t NextCodePoint(std::wstring_view text, std::size_t& i);

// Appends the UTF-8 bytes of the code point `c`.
void AppendUtf8(std::string& out, char32_t c);

}  // namespace platform
