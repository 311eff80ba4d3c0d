// Many chunks of several files at once over scripted nodes, with the workflow paused and resumed at random
// moments while they run: whatever is interrupted, the progress ends at exactly the verified bytes, which
// are exactly the package's size, and every file is byte for byte the source.
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

}  // namespace
}  // namespace halcyne
