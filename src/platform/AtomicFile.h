#pragma once
// Whole-file reads and atomic replacement, shared by the registry and the service units.
#include <string>
#include <string_view>

// Reads the whole file; false with `error` set to an errno value on failure.
bool ReadWholeFile(const std::string& path, std::string& content, int& error);
// Replaces `path` with `content`: a temporary file in the same folder is written,
// flushed to disk and renamed over it. When any step fails the temporary file is
// removed, the old file stays as it was, and `error` holds the errno value.
// With a `mode` (0600 for instance) the file gets exactly that mode; without one it
// keeps the mode of the file it replaces.
inline constexpr int KEEP_FILE_MODE = -1;
bool WriteFileAtomically(const std::string& path, std::string_view content, int& error,
                         int mode = KEEP_FILE_MODE);
// Creates `path` with `content` only if it does not exist yet (EEXIST otherwise),
// with the same all-or-nothing guarantee.
bool CreateFileAtomically(const std::string& path, std::string_view content, int& error,
                          int mode = KEEP_FILE_MODE);
