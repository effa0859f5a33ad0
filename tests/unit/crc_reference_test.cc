// The station's CRC-32 against a reference computed one bit at a time (the polynomial
// division itself, no table): every length up to 300 bytes from every start offset up to
// 7, a whole file packet's range and counts that wrap at 16 bits, so that a table computed
// wrongly, bytes folded in the wrong order or a tail handled wrongly show up.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/tcp_common.h"

namespace {

// No table, no final inversion, register from 0xFFFFFFFF, the low 16 bits of the count.
uint32_t BitwiseCrc(const uint8_t* p, uint32_t nCount) {
    uint32_t nReg = 0xFFFFFFFFu;
    for (uint32_t k = 0; k < (nCount & 0xFFFFu); ++k) {
        nReg ^= p[k];
        for (int b = 0; b < 8; ++b) nReg = (nReg >> 1) ^ (0xEDB88320u & (0u - (nReg & 1u)));
    }
    return nReg;
}

TEST(CrcReferenceTest, MatchesTheBitwiseDivision) {
    std::vector<uint8_t> bytes(70000);
    uint32_t x = 0x12345678u;
    for (uint8_t& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 23);
    for (uint32_t nOffset = 0; nOffset < 8; ++nOffset) {
        for (uint32_t n = 0; n <= 300; ++n) {
            ASSERT_EQ(ComputeCrc32(bytes.data() + nOffset, n),
                      BitwiseCrc(bytes.data() + nOffset, n))
                << "offset " << nOffset << ", " << n << " bytes";
        }
    }
    for (uint32_t n : {3028u, 10232u, 65535u, 65536u, 65536u + 3028u, 0x10000u * 3 + 17u})
        EXPECT_EQ(ComputeCrc32(bytes.data(), n), BitwiseCrc(bytes.data(), n)) << n;
    for (size_t k = 0; k < 256; ++k) bytes[k] = static_cast<uint8_t>(k);
    EXPECT_EQ(ComputeCrc32(bytes.data(), 256), BitwiseCrc(bytes.data(), 256));
}

}  // namespace
