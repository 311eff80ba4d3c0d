#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/HttpStringWriter.hpp"

namespace halcyne {
namespace {

// Pieces are taken until one would pass the limit; that one is refused whole, the text keeps what came
// before, and the buffer never grows past the limit on the way (so refusing costs at most the limit).
TEST(HttpStringWriterTest, TakesPiecesUpToTheLimitAndNeverGrowsPastIt) {
    struct Case {
        const char* name;
        std::uint64_t limit;
        std::vector<std::size_t> pieces;
        std::size_t taken;  // pieces accepted before the first refusal (all: none refused)
    };
    const Case cases[] = {
        {"exactly the limit", 4096, {1000, 3000, 96}, 3},
        {"one byte over", 4096, {1000, 3000, 97}, 2},
        {"a first piece over", 4096, {4097}, 0},
        {"many small pieces", 100000, std::vector<std::size_t>(100, 1000), 100},
        {"no limit", 0, {70000, 70000}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text;
        HttpStringWriter writer(&text, c.limit);
        std::size_t taken = 0;
        std::size_t expectedSize = 0;
        for (const std::size_t piece : c.pieces) {
            const std::string bytes(piece, static_cast<char>('a' + taken % 26));
            const HttpRequestStatus status = writer.Write(bytes.data(), bytes.size());
            if (c.limit > 0) {
                EXPECT_LE(text.capacity(), c.limit);
            }
            if (status.result != HttpRequestResult::Success) {
                EXPECT_EQ(status.result, HttpRequestResult::TooLarge);
                EXPECT_EQ(status.bytesWritten, 0u);
                EXPECT_EQ(status.errorMessage,
                          "the body is larger than " + std::to_string(c.limit) + " bytes");
                break;
            }
            EXPECT_EQ(status.bytesWritten, piece);
            expectedSize += piece;
            ++taken;
        }
        EXPECT_EQ(taken, c.taken);
        EXPECT_EQ(text.size(), expectedSize);
        EXPECT_EQ(writer.Exceeded(), taken < c.pieces.size());
    }
}

}  // namespace
}  // namespace halcyne
