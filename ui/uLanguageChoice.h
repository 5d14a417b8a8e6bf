// Which of the window's languages a user gets: the first of the user's
// preferred UI languages that the copy has, or that falls back to one it
// has, else English. Pure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace languages {

// A tag in the form the events carry: lowercase, '-' between subtags
// ("pt_BR" and "PT-br" both give "pt-br").
std::wstring Normalize(std::wstring_view ATag);

// Whether ATag is English in any region ("en", "en-GB").
bool IsEnglish(std::wstring_view ATag);

// The index in AAvailable (the copy's translations, English not among them)
// of the language to show, or -1 for English. APreferred in the user's
// order. A tag matches a translation of the same tag; failing that, one of
// the same language in the same script, so that "de-AT" and "de-CH" read
// "de" and "pt-PT" reads "pt-BR", but Chinese in traditional characters
// ("zh-TW", "zh-HK", "zh-MO", "zh-Hant") never reads a translation in
// simplified characters nor the reverse. English anywhere in the list (any
// "en-…") stops the search there: the user put it before what follows.
int Choose(const std::vector<std::wstring>& APreferred, const std::vector<std::wstring>& AAvailable);

}  // namespace languages
