#include "common/Assert.h"

#include "platform/MessageBox.h"
#include "platform/Process.h"

#include <cstring>
#include <string>

void AssertFailure(const char* condition, const char* file, int line)
{
    if (condition != nullptr && file != nullptr)
    {
        // The source file's name, without the folders the build put in front of it.
        const char* slash = std::strrchr(file, '/');
        file = slash ? slash + 1 : file;
        std::string text = "Assertion failed: ";
        text.append(condition).append(" (").append(file).append(",");
        text.append(std::to_string(line)).append(")");
        ShowMessageBox("Fatal Error", text);
    }
    // 0xFFFFFFFF, of which Linux keeps the low 8 bits.
    TerminateProcessNow(255);
}
