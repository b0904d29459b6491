#pragma once
// Indicator colours: "red,green,blue" as decimal numbers, held as
// red + 256 x green + 65536 x blue (CSettings::GetColor reads them).
#include <cstdint>

constexpr int IndicatorColorRed(uint32_t color) { return static_cast<int>(color & 0xFF); }
constexpr int IndicatorColorGreen(uint32_t color) { return static_cast<int>((color >> 8) & 0xFF); }
constexpr int IndicatorColorBlue(uint32_t color) { return static_cast<int>((color >> 16) & 0xFF); }
