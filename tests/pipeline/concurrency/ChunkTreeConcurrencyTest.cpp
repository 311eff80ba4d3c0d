// Many chunks of several files at once over scripted nodes, with the workflow paused and resumed at random
// moments while they run: whatever is interrupted, the progress ends at exactly the verified bytes, which
// are exactly the package's size, and every file is byte for byte the source. And files updated in place
// whose staging begins while their other chunks are being checked on other threads.
#include <algorithm>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "manifest/PackageManifest.hpp"
#include "pipeline/FileWorks.hpp"
#include "support/PipelineHarness.hpp"
#include "support/ScriptedNodes.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

std::string Pattern(std::size_t size, unsigned seed) {
    std::string text(size, '\0');
    std::mt19937 random(seed);
    for (char& c : text) {
        c = static_cast<char>(random());
    }
    return text;
}

TEST(ChunkTreeConcurrencyTest, PausedAndResumedAtRandomTheCountsEndExact) {
    test::ScratchFolder scratch;
    test::SiteWriter site(scratch / "site");
    test::SitePackage package;
    package.chunkSize = 4096;
    package.run = "run.sh";
    package.files = {{"run.sh", Pattern(3 * 4096 + 5, 1), ""},
                     {"a.pak", Pattern(40 * 4096 + 100, 2), ""},
                     {"b.pak", Pattern(25 * 4096, 3), ""}};
    const auto manifest = test::LoadPackageXml(site.PublishPackage(package));
    test::ScriptedNodes nodes;
    for (const auto& file : package.files) {
        nodes.Serve("/packages/P/K/V/" + file.path, file.content);
    }
    std::vector<test::SiteNode> list;
    for (int i = 0; i < 3; ++i) {
        list.push_back({"n" + std::to_string(i), "n" + std::to_string(i) + ":8080", "/packages/", 1});
    }
    nodes.AddFault("n0:8080", test::ScriptedNodes::Fault::Wrong, 5);
    nodes.AddFault("n1:8080", test::ScriptedNodes::Fault::Fail, 5, HttpRequestResult::ServerError);
    nodes.AddFault("n2:8080", test::ScriptedNodes::Fault::Extra, 5);

    EngineSettings settings;
    settings.workerThreads = 6;
    settings.maxRunningWorks = 6;
    test::PipelineServices services(settings, nullptr, &nodes);
    TransferParams params;
    params.partnerId = "P";
    params.packageId = "K";
    params.versionId = "V";
    params.destPath = scratch / "dest";
    auto transfer = std::make_shared<test::HarnessTransfer>(services.Behavior(), params);
    transfer->SetPackage(manifest);
    transfer->SetNodeList(test::LoadNodeListXml(test::SiteWriter::NodeListXml(list)));

    auto workflow = transfer->Start(std::make_shared<TransferMultipleFilesWork>(transfer, nullptr));
    std::mt19937 random(7);
    for (int i = 0; i < 200 && !transfer->Completion(); ++i) {
        if (transfer->Retryable()) {
            transfer->ClearRetryable();
            workflow->Retry();
        }
        workflow->Pause();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
        workflow->Resume();
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
    }
    for (int i = 0; i < 20 && !transfer->Completion(); ++i) {
        const auto end = transfer->WaitForEnd(std::chrono::seconds(5));
        if (end && end->result == WorkResult::RetryableError) {
            transfer->ClearRetryable();
            workflow->Retry();
        }
    }
    ASSERT_TRUE(transfer->Completion().has_value());
    EXPECT_EQ(transfer->Completion()->result, WorkResult::Success);
    std::uint64_t total = 0;
    for (const auto& file : package.files) {
        total += file.content.size();
        EXPECT_EQ(test::ReadFileText(scratch / ("dest/" + file.path)), file.content) << file.path;
    }
    EXPECT_EQ(transfer->Progress(), static_cast<std::int64_t>(total));
    EXPECT_EQ(transfer->Verified(), total);
}

// Files of the right length updated in place while all their chunks are checked at once: the chunks found
// intact before the first differing one are copied into the sibling when staging begins, those found after
// it are copied as they are found, whatever the order the threads take. Each round differs in where the
// changed chunks lie (first, last, spread), so staging begins early or late.
TEST(ChunkTreeConcurrencyTest, StagingThatBeginsWhileChunksAreCheckedCopiesEveryIntactChunkOnce) {
    constexpr std::uint32_t Chunk = 4096;
    const std::string fresh = Pattern(64 * Chunk + 10, 11);
    const std::vector<std::vector<std::size_t>> rounds = {{0}, {64}, {3, 17, 40, 63}, {1, 2, 3, 4, 5, 6, 7}};
    for (const auto& changed : rounds) {
        test::ScratchFolder scratch;
        test::SiteWriter site(scratch / "site");
        test::SitePackage package;
        package.chunkSize = Chunk;
        package.files = {{"a.pak", fresh, ""}};
        const auto manifest = test::LoadPackageXml(site.PublishPackage(package));
        test::ScriptedNodes nodes;
        nodes.Serve("/packages/P/K/V/a.pak", fresh);
        std::string old = fresh;
        for (const std::size_t chunk : changed) {
            old[chunk * Chunk + 1] ^= 0x42;
        }
        std::filesystem::create_directories(scratch / "dest");
        test::WriteFileText(scratch / "dest/a.pak", old);

        EngineSettings settings;
        settings.workerThreads = 6;
        settings.maxRunningWorks = 8;
        test::PipelineServices services(settings, nullptr, &nodes);
        TransferParams params;
        params.partnerId = "P";
        params.packageId = "K";
        params.versionId = "V";
        params.destPath = scratch / "dest";
        auto transfer = std::make_shared<test::HarnessTransfer>(services.Behavior(), params);
        transfer->SetPackage(manifest);
        transfer->SetNodeList(
            test::LoadNodeListXml(test::SiteWriter::NodeListXml({{"n0", "n0:8080", "/packages/", 1}})));
        auto workflow = transfer->Start(std::make_shared<TransferMultipleFilesWork>(transfer, nullptr));
        const auto end = transfer->WaitForEnd();
        ASSERT_TRUE(end.has_value());
        ASSERT_EQ(end->result, WorkResult::Success);
        EXPECT_TRUE(test::ReadFileText(scratch / "dest/a.pak") == fresh);
        EXPECT_FALSE(std::filesystem::exists(scratch / "dest/a.pak.halcyne-part"));
        std::vector<std::size_t> requested;
        for (const auto& request : nodes.Requests()) {
            requested.push_back(request.first / Chunk);
        }
        std::sort(requested.begin(), requested.end());
        EXPECT_EQ(requested, changed);
        EXPECT_EQ(transfer->Verified(), fresh.size());
    }
}

}  // namespace
}  // namespace halcyne
