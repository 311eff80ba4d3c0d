#include <string>

#include <gtest/gtest.h>

#include "file/posix/PosixSharedFileFactory.hpp"
#include "pipeline/Crc32.hpp"
#include "pipeline/HttpBoundedFileDataWriter.hpp"
#include "pipeline/TransferHttpWriter.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferSharedMapData.hpp"
#include "support/RecordingProgressUpdater.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

// A 30-byte file of '.' with a chunk [10, 19] writing into it.
struct ChunkFixture {
    ChunkFixture() {
        test::WriteFileText(scratch / "f", std::string(30, '.'));
        file = factory.Create(scratch.Path(), "f", SharedFileMode::OpenExisting, 0, 29);
        chunk = std::make_shared<TransferSharedMapData>(std::make_shared<TransferSharedFileData>("f", 30), 10,
                                                        19, 0, progress);
        chunk->UseFile(file);
    }
    std::string Content() const { return test::ReadFileText(scratch / "f"); }

    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
    std::shared_ptr<SharedFile> file;
    std::shared_ptr<test::RecordingProgressUpdater> progress =
        std::make_shared<test::RecordingProgressUpdater>();
    std::shared_ptr<TransferSharedMapData> chunk;
};

TEST(TransferHttpWriterTest, WritesBlocksAndCountsThem) {
    ChunkFixture f;
    TransferHttpWriter writer(f.chunk);
    const HttpRequestStatus empty = writer.Write("", 0);
    EXPECT_EQ(empty.result, HttpRequestResult::Success);
    EXPECT_EQ(empty.bytesWritten, 0u);
    EXPECT_EQ(writer.Write("abcd", 4).bytesWritten, 4u);
    const HttpRequestStatus rest = writer.Write("efghij", 6);
    EXPECT_EQ(rest.result, HttpRequestResult::Success);
    EXPECT_EQ(rest.bytesWritten, 6u);
    EXPECT_EQ(f.Content(), ".........." + std::string("abcdefghij") + "..........");
    EXPECT_EQ(f.chunk->fileProgressBytes, 10u);
    EXPECT_EQ(f.progress->Calls(),
              (std::vector<std::string>{"add 4", "transferred 4", "add 6", "transferred 6"}));
}

TEST(TransferHttpWriterTest, TheBlockThatCrossesTheChunkEndIsRefusedWhole) {
    ChunkFixture f;
    TransferHttpWriter writer(f.chunk);
    EXPECT_EQ(writer.Write("abcdefgh", 8).result, HttpRequestResult::Success);
    const HttpRequestStatus crossing = writer.Write("ijKLM", 5);  // 2 bytes fit, 3 would not
    EXPECT_EQ(crossing.result, HttpRequestResult::OutOfRange);
    EXPECT_EQ(crossing.bytesWritten, 0u);
    EXPECT_EQ(crossing.errorMessage, "");
    // The chunk's neighbours are untouched, and nothing of the crossing block was written.
    EXPECT_EQ(f.Content(), ".........." + std::string("abcdefgh..") + "..........");
    EXPECT_EQ(f.chunk->fileProgressBytes, 8u);
    EXPECT_EQ(f.progress->Progress(), 8);
    // The refused bytes did arrive over the network.
    EXPECT_EQ(f.progress->Transferred(), 13);
}

// The digest the check after a download compares is computed as the bytes pass: it must equal the CRC-32
// (and SHA-256) of what is then on disk however libcurl splits the body, and a block that crosses the
// chunk's end leaves no digest of a whole chunk behind.
TEST(TransferHttpWriterTest, TheDigestOfWrittenBytesIsTheDigestOfTheBytesOnDisk) {
    std::string body(70000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    }
    struct Case {
        const char* label;
        std::vector<std::size_t> blocks;  // sizes in order; the last one takes the rest
        bool whole;                       // every byte written, none refused
    };
    const Case cases[] = {
        {"one block", {70000}, true},
        {"one-byte blocks first and last", {1, 1, 1, 69996, 1}, true},
        {"libcurl-sized blocks", {16384, 16384, 16384, 16384, 4464}, true},
        {"odd sizes", {3, 4093, 65535, 369}, true},
        {"every block one byte", std::vector<std::size_t>(70000, 1), true},
        {"the last block crosses the chunk's end", {69990, 11}, false},
    };
    for (const bool sha256 : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (sha256 ? ", with SHA-256" : ""));
            test::ScratchFolder scratch;
            PosixSharedFileFactory factory;
            const auto file = factory.Create(scratch.Path(), "g", SharedFileMode::CreateNew, 0, 80000 - 1);
            ASSERT_TRUE(file->Allocate(80000));
            Sha256 expected;
            expected.Update(body.data(), body.size());
            const std::optional<Sha256::Digest> expectedSha256 =
                sha256 ? std::optional<Sha256::Digest>(expected.Final()) : std::nullopt;
            auto chunk =
                std::make_shared<TransferSharedMapData>(std::make_shared<TransferSharedFileData>("g", 80000),
                                                        5000, 74999, 0, nullptr, expectedSha256);
            chunk->UseFile(file);
            chunk->ResetProgress();
            TransferHttpWriter writer(chunk);
            std::size_t at = 0;
            bool refused = false;
            for (const std::size_t block : c.blocks) {
                const std::string piece =
                    block <= body.size() - at ? body.substr(at, block) : body.substr(at) + "x";
                refused =
                    refused || writer.Write(piece.data(), piece.size()).result != HttpRequestResult::Success;
                at += std::min(block, body.size() - at);
            }
            EXPECT_EQ(refused, !c.whole);
            const auto digest = chunk->TakeWrittenDigest();
            ASSERT_EQ(digest.has_value(), c.whole);
            if (!c.whole) {
                continue;
            }
            const std::string disk = test::ReadFileText(scratch / "g").substr(5000, 70000);
            EXPECT_EQ(disk, body);
            EXPECT_EQ(digest->checksum, Crc32(disk.data(), disk.size()));
            EXPECT_EQ(digest->sha256, expectedSha256);
            EXPECT_FALSE(chunk->TakeWrittenDigest().has_value());  // taken once
        }
    }
}

TEST(TransferHttpWriterTest, BoundedWriterWithoutViewFails) {
    HttpBoundedFileDataWriter writer(nullptr);
    const HttpRequestStatus status = writer.Write("x", 1);
    EXPECT_EQ(status.result, HttpRequestResult::WriteFailed);
    EXPECT_EQ(status.bytesWritten, 0u);
}

}  // namespace
}  // namespace halcyne
