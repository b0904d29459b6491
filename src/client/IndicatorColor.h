#pragma once
// Indicator colours: "red,green,blue" as decimal numbers, held as
// red + 256 x green + 65536 x blue.
#include <cstdint>
#include <string_view>

// Each field is read from at most 9 characters, as a decimal number cut to its low
// 8 bits; a missing field reads as 0.
uint32_t ParseIndicatorColor(std::string_view text);

constexpr int IndicatorColorRed(uint32_t color) { return static_cast<int>(color & 0xFF); }
constexpr int IndicatorColorGreen(uint32_t color) { return static_cast<int>((color >> 8) & 0xFF); }
constexpr int IndicatorColorBlue(uint32_t color) { return static_cast<int>((color >> 16) & 0xFF); }
