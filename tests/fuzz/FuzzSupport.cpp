#include "FuzzSupport.h"

#include "common/Log.h"
#include "platform/MessageBox.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace tq_fuzz
{

void CheckFailed(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "Fuzz check failed: %s (%s:%d)\n", condition, file, line);
    std::abort();
}

void Initialise()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    SetMessageBoxHandler(
        [](std::string_view caption, std::string_view text)
        {
            if (caption != "Fatal Error")
                return;
            std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                         static_cast<int>(text.size()), text.data());
            std::abort();
        });
    CLog::GetInstance()->SetFilename("/dev/null");
    CLog::GetInstance()->SetLogLevel(CLog::LEVEL_ERROR);
}

uint8_t ByteReader::Byte()
{
    const auto taken = Take(1);
    return taken.empty() ? 0 : taken[0];
}

uint32_t ByteReader::Number(uint32_t limit)
{
    if (limit == 0)
        return 0;
    uint32_t value = 0;
    for (uint32_t range = 1; range < limit && range <= 0xFFFFFFu; range <<= 8)
        value = value << 8 | Byte();
    return value % limit;
}

std::span<const uint8_t> ByteReader::Take(size_t count)
{
    count = std::min(count, m_data.size());
    const auto taken = m_data.first(count);
    m_data = m_data.subspan(count);
    return taken;
}

std::span<const uint8_t> ByteReader::Rest()
{
    return Take(m_data.size());
}

std::string_view AsText(std::span<const uint8_t> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

namespace
{
// A run that fails aborts without clean-up: the next run removes the folders of
// processes that are gone (the process ID is part of the name).
void RemoveStaleFolders(const std::string& base)
{
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(base, ec))
    {
        const std::string name = entry.path().filename().string();
        int pid = 0;
        if (std::sscanf(name.c_str(), "tq_fuzz_%d_", &pid) == 1 && pid > 0 &&
            kill(pid, 0) != 0 && errno == ESRCH)
            std::filesystem::remove_all(entry.path(), ec);
    }
}

struct Scratch
{
    std::string path;
    Scratch()
    {
        const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        RemoveStaleFolders(base);
        std::string pattern = base + "/tq_fuzz_" + std::to_string(getpid()) + "_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
        {
            std::perror("mkdtemp");
            std::abort();
        }
        path = pattern;
    }
    ~Scratch()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};
} // namespace

const std::string& ScratchFolder()
{
    static Scratch scratch;
    return scratch.path;
}

void WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(file.good());
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

} // namespace tq_fuzz
