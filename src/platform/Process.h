#pragma once
// Process-wide services: immediate termination and running helper commands.
#include <string>
#include <vector>

// Ends the process at once, without clean-up (exit code cut to 8 bits by Linux).
[[noreturn]] void TerminateProcessNow(int exitCode);
// Runs a command (argv[0] looked up in PATH), waits for it; returns its exit status,
// or -1 if it could not be run. Its standard output is captured into `output` if given.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr);
