#pragma once
// Shared by the fuzz targets: a check that aborts (so that libFuzzer keeps the input),
// the one-time set-up of the log and the fatal assertion, a reader that takes
// parameters off the front of an input, and a scratch folder for file targets.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace tq_fuzz
{

[[noreturn]] void CheckFailed(const char* condition, const char* file, int line);

#define FUZZ_CHECK(cond)                                                                       \
    do                                                                                         \
    {                                                                                          \
        if (!(cond))                                                                           \
            ::tq_fuzz::CheckFailed(#cond, __FILE__, __LINE__);                                 \
    } while (0)

// Once per process: the fatal assertion aborts instead of ending the process quietly
// (libFuzzer then reports it with the input), other message boxes are dropped, and
// the log writes to /dev/null at the Error level.
void Initialise();

// Takes numbers and byte runs off the front of an input; past its end it gives zeros
// and empty runs.
class ByteReader
{
public:
    ByteReader(const uint8_t* data, size_t size) : m_data(data, size) {}
    uint8_t Byte();
    uint32_t Number(uint32_t limit); // 0..limit-1 (0 when limit is 0)
    std::span<const uint8_t> Take(size_t count);
    std::span<const uint8_t> Rest();
    bool Empty() const { return m_data.empty(); }
    size_t Remaining() const { return m_data.size(); }

private:
    std::span<const uint8_t> m_data;
};

std::string_view AsText(std::span<const uint8_t> bytes);

// A folder of this process, removed when the process ends.
const std::string& ScratchFolder();
void WriteWholeFile(const std::string& path, std::span<const uint8_t> bytes);
std::string ReadWholeFile(const std::string& path);

} // namespace tq_fuzz
