#include <array>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pipeline/Crc32.hpp"

namespace halcyne {
namespace {

// The byte-wise, table-driven reference of the algorithm: reflected polynomial 0xEDB88320.
std::uint32_t ReferenceCrc32(const unsigned char* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

TEST(Crc32Test, KnownValues) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("", 0), 0u);
    EXPECT_EQ(Crc32("a", 1), 0xE8B7BE43u);
}

TEST(Crc32Test, MatchesTheReferenceOnRandomLengthsAndAlignments) {
    std::mt19937 random(20261210);
    std::vector<unsigned char> buffer(300000 + 64);
    for (unsigned char& byte : buffer) {
        byte = static_cast<unsigned char>(random());
    }
    std::uniform_int_distribution<std::size_t> lengths(0, 300000);
    std::uniform_int_distribution<std::size_t> offsets(0, 63);
    for (int round = 0; round < 200; ++round) {
        // Short lengths matter most (the folding code's head and tail), so every other round is short.
        const std::size_t length = round % 2 == 0 ? lengths(random) : lengths(random) % 200;
        const unsigned char* data = buffer.data() + offsets(random);
        EXPECT_EQ(Crc32(data, length), ReferenceCrc32(data, length)) << "length " << length;
    }
}

TEST(Crc32Test, ContinuesAcrossPieces) {
    const std::string text = "The quick brown fox jumps over the lazy dog";
    for (std::size_t split = 0; split <= text.size(); ++split) {
        EXPECT_EQ(Crc32(text.data() + split, text.size() - split, Crc32(text.data(), split)), 0x414FA339u);
    }
}

// The CRC of zeros by arithmetic agrees with the CRC over real zero bytes, at the lengths where the
// power table's bits change (and a chunk's usual sizes).
TEST(Crc32Test, ZerosByArithmeticMatchZeroBytes) {
    const std::vector<unsigned char> zeros((std::size_t{1} << 20) + 3, 0);
    for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                     std::size_t{7}, std::size_t{8}, std::size_t{255}, std::size_t{4096},
                                     std::size_t{65537}, std::size_t{1} << 20, (std::size_t{1} << 20) + 3}) {
        EXPECT_EQ(Crc32OfZeros(length), Crc32(zeros.data(), length)) << "length " << length;
    }
    // Past what a buffer holds: zeros appended to zeros continue the same sequence.
    const std::uint64_t big = std::uint64_t{5} << 32;
    EXPECT_EQ(Crc32OfZeros(big + 3), Crc32(zeros.data(), 3, Crc32OfZeros(big)));
}

}  // namespace
}  // namespace halcyne
