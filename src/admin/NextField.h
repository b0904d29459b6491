#pragma once
// The console's field splitter for reply elements and stored server definitions.
#include <string>

// Takes the next field off the front of `source` and leaves the rest there. A double
// quote opens quoting and is dropped; inside quotes two double quotes give one and a
// single one closes quoting. The separator outside quotes ends the field; without
// one the whole text is the field and `source` becomes empty.
std::u16string nextField(std::u16string& source, char16_t separator);
