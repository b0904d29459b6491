#pragma once
// The fatal assertion: checked in every build. A failed check writes
// "Fatal Error: Assertion failed: COND (FILE,LINE)" (a message box) and ends the
// process at once with exit code 0xFFFFFFFF (255 on Linux), without clean-up.

[[noreturn]] void AssertFailure(const char* condition, const char* file, int line);

#define TQ_ASSERT(cond)                                                                        \
    do                                                                                         \
    {                                                                                          \
        if (!(cond))                                                                           \
            AssertFailure(#cond, __FILE__, __LINE__);                                          \
    } while (0)
