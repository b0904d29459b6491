#include "client/IndicatorColor.h"

#include "common/MyString.h"

#include <optional>
#include <string>

namespace
{
// A field of at most 9 characters and its terminator.
constexpr size_t COLOR_FIELD_SIZE = 10;
} // namespace

uint32_t ParseIndicatorColor(std::string_view text)
{
    const std::u16string wide = Utf8ToUtf16(text);
    std::optional<std::u16string_view> rest = std::u16string_view(wide);
    uint32_t color = 0;
    for (int shift = 0; shift <= 16; shift += 8)
    {
        std::u16string field;
        rest = rest ? SplitTokenW(*rest, u',', field, COLOR_FIELD_SIZE) : std::nullopt;
        const auto value = static_cast<uint32_t>(rest ? ReadDecimalW(field) : 0);
        color |= (value & 0xFF) << shift;
    }
    return color;
}
