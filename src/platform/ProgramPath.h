#pragma once
// Where the running program lives, and the environment.
#include <optional>
#include <string>

// The running program's file (/proc/self/exe).
bool GetExecutablePath(std::string& path);
// An environment variable, when set and not empty.
std::optional<std::string> GetEnvironment(const char* name);
