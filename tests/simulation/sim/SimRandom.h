#pragma once
// The one random source of a simulation run. Every decision is drawn from it in the
// order in which the run makes them, so that the seed alone replays a run. The
// mappings to ranges are written out here rather than left to the library's
// distributions, whose results may differ between library versions.
#include <cstdint>
#include <random>

namespace tq_sim
{

class SimRandom
{
  public:
    explicit SimRandom(uint64_t seed) : m_engine(seed) {}

    uint64_t Next() { return m_engine(); }
    // 0 .. n-1 (n > 0); the bias of the remainder is far below what a run can see.
    uint64_t Below(uint64_t n) { return Next() % n; }
    // lo .. hi, both included.
    uint64_t Range(uint64_t lo, uint64_t hi) { return lo + Below(hi - lo + 1); }
    // [0, 1)
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    bool Chance(double p) { return p > 0.0 && Unit() < p; }

  private:
    std::mt19937_64 m_engine;
};

// A stream of bytes that anyone who knows its seed can recompute at any offset: the
// sender writes it, the receiver checks what arrives against it.
class PatternStream
{
  public:
    explicit PatternStream(uint64_t seed = 0) : m_seed(seed) {}
    uint8_t At(uint64_t offset) const
    {
        return static_cast<uint8_t>(Word(offset / 8) >> (8 * (offset % 8)));
    }
    void Fill(uint64_t offset, uint8_t* bytes, size_t count) const;
    // The first offset in [offset, offset + count) where `bytes` differ, or -1.
    int64_t FirstMismatch(uint64_t offset, const uint8_t* bytes, size_t count) const;

  private:
    uint64_t Word(uint64_t index) const
    {
        // splitmix64 of the seed and the word index.
        uint64_t z = m_seed + (index + 1) * 0x9E3779B97F4A7C15ull;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    uint64_t m_seed;
};

// Both go a word of eight bytes at a time.
inline void PatternStream::Fill(uint64_t offset, uint8_t* bytes, size_t count) const
{
    size_t i = 0;
    while (i < count)
    {
        const uint64_t position = offset + i;
        uint64_t word = Word(position / 8) >> (8 * (position % 8));
        for (size_t b = position % 8; b < 8 && i < count; ++b, ++i, word >>= 8)
            bytes[i] = static_cast<uint8_t>(word);
    }
}

inline int64_t PatternStream::FirstMismatch(uint64_t offset, const uint8_t* bytes,
                                            size_t count) const
{
    size_t i = 0;
    while (i < count)
    {
        const uint64_t position = offset + i;
        uint64_t word = Word(position / 8) >> (8 * (position % 8));
        for (size_t b = position % 8; b < 8 && i < count; ++b, ++i, word >>= 8)
            if (bytes[i] != static_cast<uint8_t>(word))
                return static_cast<int64_t>(offset + i);
    }
    return -1;
}

} // namespace tq_sim
