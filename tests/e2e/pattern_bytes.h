// Contents of the violation files that the end-to-end tests and the benchmarks write:
// bytes that depend only on the seed, every byte value occurring, frame marks included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vpattern {

inline std::string PatternBytes(size_t nSize, uint32_t nSeed) {
    std::string sz(nSize, '\0');
    uint32_t x = nSeed * 2654435761u + 0x9E3779B9u;
    for (char& c : sz) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x >> 24);
    }
    return sz;
}

}  // namespace vpattern
