// fuzz/random.h: the fuzzer's random numbers, small, fast and fully defined by their state (SplitMix64),
// so that a case is the same on every machine.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzz {

class Random {
public:
    explicit Random(std::uint64_t state) : state_(state) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : static_cast<std::uint32_t>(Next() % n); }
    bool Chance(std::uint32_t percent) { return Below(100) < percent; }
    template <typename T, std::size_t N>
    const T& Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

private:
    std::uint64_t state_;
};

}  // namespace fuzz
