// The engine against a signed site that players reach only through two Varnish caches in front of one
// origin nginx, all configured as the deployment guide says (docs/): every cache is both the manifest
// service and the content nodes. A CDN's edges answer to the same names, and which edge a run reaches is the
// network's choice: here each run reaches one cache as its http_proxy, so no name is ever looked up and
// every request of the run goes to that cache. A package downloads
// through them cold and warm, byte for byte; a new version published to the origin while the caches still
// hold the old current manifest, its signature and the node list reaches each run either not at all or
// whole, no run is refused, and every run gets it once the caches' time for moving documents has passed.
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "SigningKey.hpp"
#include "SitePublisher.hpp"
#include "support/CachedSite.hpp"
#include "support/TestSupport.hpp"
#include "transfer/DownloadEngine.hpp"

namespace halcyne {
namespace {

using namespace halcyne::test;
using namespace std::chrono_literals;

constexpr std::uint32_t Chunk = 64 * 1024;
constexpr int MovingSeconds = 2;  // how long the caches keep a current manifest, its signature, a node list

struct Version {
    std::string id;
    std::vector<std::pair<std::string, std::string>> files;  // path, bytes
};

class CachedDownloadTest : public ::testing::Test {
protected:
    CachedDownloadTest() : tmpdir_("TMPDIR", scratch_ / "tmp") {
        std::filesystem::create_directories(scratch_ / "tmp");
        const std::string big = RandomBytes(700000, 1);
        std::string changed = big;
        changed[3 * Chunk + 5] ^= 0x5A;  // one chunk differs
        one_ = {"1",
                {{"bin/run.sh", "#!/bin/sh\necho 1\n"},
                 {"data/a.bin", big},
                 {"data/b.bin", RandomBytes(90000, 2)}}};
        two_ = {"2",
                {{"bin/run.sh", "#!/bin/sh\necho 2\n"},
                 {"data/a.bin", changed},
                 {"data/c.bin", RandomBytes(150000, 3)}}};
        publisher_.SignWith(key_);
        settings_.manifestKeys = key_->PublicKeyBase64();
        settings_.manifestHost = "manifests.studio.example";
    }

    void Publish(const Version& version) {
        const std::string from = scratch_ / ("source-" + version.id);
        for (const auto& [path, bytes] : version.files) {
            std::filesystem::create_directories(std::filesystem::path(from + "/" + path).parent_path());
            WriteFileText(from + "/" + path, bytes);
        }
        publisher_.PublishFolder(from, {"P", "K", version.id, "Game", "bin/run.sh", Chunk});
    }

    // One player's run of package K of partner P into `dest` through the cache `edge`: the final status (at
    // most 60 s each for the preparation and the download).
    TransferStatus Run(const std::string& edge, const std::string& dest) {
        ScopedEnvironment proxy("http_proxy", edge), noProxy("no_proxy", std::nullopt),
            noProxyUpper("NO_PROXY", std::nullopt);
        DownloadEngine engine(settings_);
        const auto waitFor = [&](const std::string& id, auto done) {
            const auto deadline = std::chrono::steady_clock::now() + 60s;
            TransferStatus status = engine.GetTransferStatus(id);
            while (!done(status) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(10ms);
                status = engine.GetTransferStatus(id);
            }
            return status;
        };
        const std::string id = engine.StartTransfer("P", "K", "?").transferId;
        const TransferStatus initialized = waitFor(id, [](const TransferStatus& s) {
            return s.state == TransferState::Initialized || s.error != TransferError::None;
        });
        if (initialized.error != TransferError::None) {
            return initialized;
        }
        engine.StartTransferInto(id, dest);
        return waitFor(id, [](const TransferStatus& s) {
            return s.state == TransferState::Complete || s.error != TransferError::None;
        });
    }

    // The version whose every file `dest` holds byte for byte: "1", "2", or "" for neither.
    std::string VersionIn(const std::string& dest) const {
        for (const Version* version : {&one_, &two_}) {
            bool whole = true;
            for (const auto& [path, bytes] : version->files) {
                const std::string file = dest + "/" + path;
                whole = whole && std::filesystem::exists(file) && ReadFileText(file) == bytes;
            }
            if (whole) {
                return version->id;
            }
        }
        return "";
    }

    // The work log of every run so far, for a failure's message.
    std::string WorkLog() const {
        std::string text;
        for (const auto& entry :
             std::filesystem::directory_iterator(scratch_ / "tmp/Vantrel Technologies/Halcyne/logs")) {
            text += ReadFileText(entry.path().string());
        }
        return text;
    }

    ScratchFolder scratch_;
    ScopedEnvironment tmpdir_;
    ScopedEnvironment noProxyUpper_{"HTTP_PROXY", std::nullopt};
    std::shared_ptr<const publish::SigningKey> key_ =
        std::make_shared<publish::SigningKey>(publish::SigningKey::New());
    publish::SitePublisher publisher_{scratch_ / "site"};
    EngineSettings settings_;
    Version one_, two_;
};

TEST_F(CachedDownloadTest, ANewVersionReachesEveryRunWholeThroughCachesThatHoldTheOldOne) {
    Publish(one_);
    CachedSite served({.site = scratch_ / "site", .caches = 2, .movingSeconds = MovingSeconds});
    publisher_.PublishNodeList("P", {{"cdn1", "cdn1.studio.example", "/packages/", 1},
                                     {"cdn2", "cdn2.studio.example", "/packages/", 1}});

    // Cold through each cache, then warm through each with the origin's package files gone: what the warm
    // runs get comes from the caches alone.
    const std::string player = scratch_ / "player";
    for (int edge = 0; edge < 2; ++edge) {
        const std::string dest = edge == 0 ? player : scratch_ / "cold1";
        const TransferStatus status = Run(served.CacheHost(edge), dest);
        ASSERT_EQ(status.state, TransferState::Complete) << WorkLog();
        ASSERT_EQ(VersionIn(dest), "1");
    }
    std::filesystem::rename(scratch_ / "site/packages", scratch_ / "packages-away");
    for (int edge = 0; edge < 2; ++edge) {
        const std::string dest = scratch_ / ("warm" + std::to_string(edge));
        const TransferStatus status = Run(served.CacheHost(edge), dest);
        ASSERT_EQ(status.state, TransferState::Complete) << WorkLog();
        EXPECT_EQ(VersionIn(dest), "1");
    }
    std::filesystem::rename(scratch_ / "packages-away", scratch_ / "site/packages");

    // Version 2 lands on the origin while both caches hold version 1's current manifest, its signature
    // and the node list. The player runs again and again, through either cache, updating in place.
    Publish(two_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(MovingSeconds * 10 + 30);
    int newInARow = 0;
    for (int run = 0; newInARow < 2; ++run) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "version 2 never reached both caches";
        SCOPED_TRACE("run " + std::to_string(run));
        const TransferStatus status = Run(served.CacheHost(run % 2), player);
        ASSERT_EQ(status.error, TransferError::None) << WorkLog();
        ASSERT_EQ(status.state, TransferState::Complete);
        const std::string version = VersionIn(player);
        ASSERT_TRUE(version == "2" || (version == "1" && newInARow == 0))
            << "a mix of both versions, or back to the old one: " << version;
        newInARow += version == "2" ? 1 : 0;
    }
    EXPECT_EQ(WorkLog().find("ManifestTrustException"), std::string::npos);
}

}  // namespace
}  // namespace halcyne
