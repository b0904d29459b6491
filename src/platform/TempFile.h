#pragma once
// Temporary files named as the system names them: a prefix, four hexadecimal digits
// and ".tmp".
#include <cstdint>
#include <string>
#include <string_view>

// Creates a new, empty file "<prefix>XXXX.tmp" in `folder` (mode 0600) and returns its
// path. XXXX counts up from `seed` (0000 is skipped) until a name is free. False, with
// the errno value in `error`, when no file could be created.
bool CreateTempFile(const std::string& folder, std::string_view prefix, uint16_t seed,
                    std::string& path, int& error);
