#pragma once
// Text helpers shared by server and client: date-time texts, UTF-8/UTF-16
// conversion, the quote-aware field splitter, trimming and number parsing.
#include "platform/TextConversion.h"
#include "platform/Time.h"

#include <optional>
#include <string>
#include <string_view>

// "%04d-%02d-%02d %02d%c%02d%c%02d" (with ".%03d" appended when withMilliseconds).
std::string FormatTime(const DateTime& time, bool withMilliseconds, char separator);

// UTF-16 to UTF-8 of at most size - 1 bytes, cut at a character boundary.
std::string NarrowCopy(std::u16string_view source, size_t size);

// Removes trailing carriage returns and line feeds.
void StripLineEnd(std::string& text);

// Splits one field off `input` at `separator`, outside double quotes. A double quote
// opens and closes quoting and is dropped; two in a row inside quotes give one. The
// field holds at most fieldSize - 1 characters; the excess up to the next separator
// is skipped. Returns the rest of the input (empty at its end), or nullopt when
// `input` was empty on entry.
std::optional<std::string_view> SplitToken(std::string_view input, char separator,
                                           std::string& field, size_t fieldSize);
std::optional<std::u16string_view> SplitTokenW(std::u16string_view input, char16_t separator,
                                               std::u16string& field, size_t fieldSize);

// Removes blanks and tabs at both ends.
void Trim(std::string& text);

// The C library's atoi: leading white space, a sign, the leading digits; 0 without
// digits; clamped to the int range instead of overflowing.
int ReadDecimal(std::string_view text);
int ReadDecimalW(std::u16string_view text);
