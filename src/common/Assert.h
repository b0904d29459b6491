#pragma once
// The fatal assertion: checked in every build. A failed check writes
// "Fatal Error: Assertion failed: COND (FILE,LINE)" (a message box) and ends the
// process at once with exit code 0xFFFFFFFF (255 on Linux), without clean-up.

[[noreturn]] void AssertFailure(const char* condition, const char* file, int line);

// The condition text is the expression itself, or the given text where the check is
// known by another name.
#define TQ_ASSERT_TEXT(cond, text)                                                             \
    do                                                                                         \
    {                                                                                          \
        if (!(cond))                                                                           \
            AssertFailure(text, __FILE__, __LINE__);                                           \
    } while (0)

#define TQ_ASSERT(cond)                                                                        \
    do                                                                                         \
    {                                                                                          \
        if (!(cond))                                                                           \
            AssertFailure(#cond, __FILE__, __LINE__);                                          \
    } while (0)
