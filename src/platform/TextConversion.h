#pragma once
// UTF-8 (the system's 8-bit text) <-> UTF-16 (the wide text of payloads and the
// registry). A real conversion: nothing is cut to its low byte.
#include <string>
#include <string_view>

// Invalid or cut UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// False, with `out` unspecified, when the text is not valid UTF-8.
bool Utf8ToUtf16Strict(std::string_view text, std::u16string& out);
// An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// ASCII case-insensitive comparison (registry value names, command words).
bool EqualsNoCase(std::string_view a, std::string_view b);
