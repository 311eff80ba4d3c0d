#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "manifest/ManifestException.hpp"
#include "manifest/ManifestReplayGuard.hpp"
#include "manifest/ManifestText.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

// The manifest works of two transfers fetch their documents at once, the node list of a shared partner
// among them: every acceptance lands, the floor is the highest sequence accepted, and the file holds them.
TEST(ManifestReplayGuardConcurrencyTest, AcceptancesFromManyThreadsKeepTheHighestOfEachDocument) {
    test::ScratchFolder scratch;
    test::ScopedEnvironment environment("TMPDIR", scratch.Path());
    const std::string file = "Vantrel Technologies/Halcyne/manifest-sequences.json";
    constexpr std::int64_t Now = 1750000000;
    ManifestReplayGuard guard(file, [] { return Now; });
    constexpr int Threads = 4;
    constexpr int Rounds = 10;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 1; round <= Rounds; ++round) {
                const auto sequence = std::to_string(round * Threads + t);
                const DocumentStamp shared{"P", sequence, FormatUtcTime(Now + 60)};
                const DocumentStamp own{"K" + std::to_string(t), sequence, FormatUtcTime(Now + 60)};
                try {
                    guard.Accept(guard.Admit(StampedDocument::NodeList, "h", "P", shared, "u"));
                } catch (const ManifestTrustException&) {
                    // A higher one of another thread was accepted in between.
                }
                guard.Accept(
                    guard.Admit(StampedDocument::PackageManifest, "h", "K" + std::to_string(t), own, "u"));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ManifestReplayGuard later(file, [] { return Now; });
    EXPECT_EQ(later.Floor(StampedDocument::NodeList, "h", "P"),
              static_cast<std::uint64_t>(Rounds * Threads + Threads - 1));
    for (int t = 0; t < Threads; ++t) {
        EXPECT_EQ(later.Floor(StampedDocument::PackageManifest, "h", "K" + std::to_string(t)),
                  static_cast<std::uint64_t>(Rounds * Threads + t));
    }
}

}  // namespace
}  // namespace halcyne
