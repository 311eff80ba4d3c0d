#include <string>

#include <gtest/gtest.h>

#include "file/MemoryMappedFileData.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "pipeline/TransferHttpWriter.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferSharedMapData.hpp"
#include "support/RecordingProgressUpdater.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

// A 30-byte file of '.' with a chunk [10, 19] mapped.
struct ChunkFixture {
    ChunkFixture() {
        test::WriteFileText(scratch / "f", std::string(30, '.'));
        file = factory.Create(scratch.Path(), "f", SharedFileMode::OpenExisting, 0, 29);
        chunk = std::make_shared<TransferSharedMapData>(std::make_shared<TransferSharedFileData>("f", 30), 10,
                                                        19, 0, progress);
        chunk->view = file->Map(10, 19);
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

TEST(TransferHttpWriterTest, BoundedWriterWithoutViewFails) {
    HttpBoundedFileDataWriter writer(nullptr);
    const HttpRequestStatus status = writer.Write("x", 1);
    EXPECT_EQ(status.result, HttpRequestResult::WriteFailed);
    EXPECT_EQ(status.bytesWritten, 0u);
}

}  // namespace
}  // namespace halcyne
