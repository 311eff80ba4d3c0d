#include <gtest/gtest.h>

#include "common/TransferParams.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "pipeline/Crc32.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferSharedMapData.hpp"
#include "support/RecordingProgressUpdater.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

std::string Keys(const WorkDescriptor& data) {
    ptree tree;
    data.Describe(tree);
    std::string text;
    for (const auto& [key, child] : tree) {
        text += key + "=" + child.data() + ";";
    }
    return text;
}

TEST(TransferWorkContextTest, ParamsDescribeTheirFiveTextsButNotTheFlag) {
    TransferParams params;
    EXPECT_EQ(Keys(params), "transferId=?;partnerId=?;packageId=?;versionId=?;destPath=?;");
    params.transferId = "0123456789abcdef0123456789abcdef";
    params.partnerId = "P";
    params.packageId = "K";
    params.versionId = "1.2";
    params.destPath = "/home/a/Games";
    params.suspended = true;
    const TransferParams copy = params;
    EXPECT_EQ(Keys(copy),
              "transferId=0123456789abcdef0123456789abcdef;partnerId=P;packageId=K;versionId=1.2;"
              "destPath=/home/a/Games;");
}

TEST(TransferWorkContextTest, ChunkDataDescribesItsFileThenItsRange) {
    auto file = std::make_shared<TransferSharedFileData>("bin/game.dat", 1u << 20);
    TransferSharedMapData chunk(file, 65536, 131071, 0x1a2b3c, nullptr);
    chunk.fileProgressBytes = 100;
    EXPECT_EQ(Keys(chunk),
              "filePath=bin/game.dat;fileSize=1048576;lowerBound=65536;upperBound=131071;"
              "expectedChecksum=1a2b3c;fileProgressBytes=100;");
    const TransferSharedMapData zero(file, 0, 0, 0, nullptr);
    EXPECT_EQ(Keys(zero),
              "filePath=bin/game.dat;fileSize=1048576;lowerBound=0;upperBound=0;expectedChecksum=0;"
              "fileProgressBytes=0;");
    const TransferSharedMapData full(file, 0, 0, 0xFFFFFFFFu, nullptr);
    EXPECT_NE(Keys(full).find("expectedChecksum=ffffffff;"), std::string::npos);
}

TEST(TransferWorkContextTest, ResetProgressRewindsTheWritePositionAndTakesTheBytesBack) {
    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
    auto fileData = std::make_shared<TransferSharedFileData>("f.bin", 3 * 4096);
    const auto file =
        factory.Create(scratch.Path(), "f.bin", SharedFileMode::CreateNew, 0, WholeFileUpperBound);
    ASSERT_TRUE(file->Allocate(3 * 4096));
    fileData->UseFile(file);
    auto updater = std::make_shared<test::RecordingProgressUpdater>();
    TransferSharedMapData chunk(fileData, 4096, 2 * 4096 - 1, 0, updater);

    // Nothing mapped, nothing counted: nothing changes.
    chunk.ResetProgress();
    EXPECT_TRUE(updater->Calls().empty());

    chunk.UseFile(file);
    const std::string first(1000, 'x');
    chunk.WriteNext(first.data(), first.size());
    updater->AddProgress(1000);
    chunk.fileProgressBytes = 1000;
    chunk.ResetProgress();
    EXPECT_EQ(chunk.fileProgressBytes, 0u);
    EXPECT_EQ(updater->Calls(), (std::vector<std::string>{"add 1000", "remove 1000"}));
    EXPECT_EQ(updater->Progress(), 0);

    // A second reset takes nothing more.
    chunk.ResetProgress();
    EXPECT_EQ(updater->Calls().size(), 2u);

    // The next download writes from the chunk's first byte again, and its digest covers its own bytes only.
    const std::string whole(4096, 'y');
    chunk.WriteNext(whole.data(), whole.size());
    const auto digest = chunk.TakeWrittenDigest();
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(digest->checksum, Crc32(whole.data(), whole.size()));
    EXPECT_EQ(test::ReadFileText(scratch / "f.bin").substr(4096, 4096), whole);
}

}  // namespace
}  // namespace halcyne
