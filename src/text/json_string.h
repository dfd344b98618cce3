// JSON string literals for everything the programs print or store as JSON:
// the CLI's documents, the ledger's records and the simulated drive's trace.
#pragma once

#include <string>
#include <string_view>

namespace qelvar::text {

// Appends `text` as the inside of a JSON string. Valid UTF-8 passes as it
// is. Quotes, backslashes, control characters and DEL are escaped. A byte
// that is not part of valid UTF-8 (a drive's identity may hold any bytes)
// becomes \u00XX, its Latin-1 reading, so the document stays valid JSON and
// the byte can still be told.
void AppendJsonEscaped(std::string& out, std::string_view text);

// `text` escaped as above, without the quotes.
[[nodiscard]] std::string JsonEscaped(std::string_view text);

// The length of the valid UTF-8 sequence that starts text[i], or 0 when the
// byte there starts none (stray continuation byte, overlong form, surrogate,
// beyond U+10FFFF, cut short). ASCII counts as a sequence of one.
[[nodiscard]] size_t Utf8SequenceAt(std::string_view text, size_t i);

// `text` as a whole JSON string, quotes included.
[[nodiscard]] std::string JsonQuoted(std::string_view text);

}  // namespace qelvar::text
