// The entry of a fuzz target in the normal builds: runs every file of the folders
// (or the files) named on the command line through the target once, in name order.
#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i)
    {
        const fs::path path = argv[i];
        std::error_code ec;
        if (fs::is_directory(path, ec))
        {
            for (const auto& entry : fs::directory_iterator(path))
                if (entry.is_regular_file())
                    inputs.push_back(entry.path());
        }
        else if (fs::is_regular_file(path, ec))
            inputs.push_back(path);
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty())
    {
        std::fprintf(stderr, "usage: %s <corpus folder or input file>...: no input found\n",
                     argv[0]);
        return 1;
    }
    for (const fs::path& input : inputs)
    {
        std::ifstream file(input, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                         std::istreambuf_iterator<char>()};
        // Named first, so that a check that aborts points at its input.
        std::printf("%s\n", input.c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
