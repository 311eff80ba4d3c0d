#include <atomic>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "file/posix/PosixSharedFileFactory.hpp"
#include "manifest/ManifestStore.hpp"
#include "manifest/TransferManifest.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = std::filesystem;

std::string IdOf(int index) {
    char id[33];
    std::snprintf(id, sizeof id, "%032x", index);
    return id;
}

TransferParams Params(const std::string& id, const std::string& destPath) {
    TransferParams params;
    params.transferId = id;
    params.partnerId = "P";
    params.packageId = "K";
    params.versionId = "V";
    params.destPath = destPath;
    return params;
}

class ManifestStoreConcurrencyTest : public ::testing::Test {
protected:
    ManifestStoreConcurrencyTest() : tmp(scratch / "tmp"), environment("TMPDIR", tmp) {
        fs::create_directory(tmp);
    }

    // Runs `body(i)` on `count` threads released together.
    template <typename Body>
    void RunTogether(int count, Body body) {
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([&, i] {
                while (!go.load()) {
                    std::this_thread::yield();
                }
                body(i);
            });
        }
        go.store(true);
        for (auto& thread : threads) {
            thread.join();
        }
    }

    test::ScratchFolder scratch;
    const std::string tmp;
    test::ScopedEnvironment environment;
    PosixSharedFileFactory factory;
    JsonTempFileManifestStore<TransferManifest> store{"a/b/transfers", &factory};
};

TEST_F(ManifestStoreConcurrencyTest, OneOfManySavesOfAnIdWinsAndItsFileIsWhole) {
    const int threads = 8;
    const std::string id = IdOf(1);
    std::atomic<int> winners{0};
    std::vector<std::string> dests(threads);
    for (int i = 0; i < threads; ++i) {
        dests[i] = "/dest/" + std::to_string(i) + "/" + std::string(3000 + 700 * i, 'x');
    }
    std::vector<int> won(threads, 0);
    RunTogether(threads, [&](int i) {
        if (store.Save(id, TransferManifest(Params(id, dests[i])))) {
            won[i] = 1;
            winners.fetch_add(1);
        }
    });
    ASSERT_EQ(winners.load(), 1);
    TransferManifest loaded;
    ASSERT_TRUE(store.Load(id, loaded));
    for (int i = 0; i < threads; ++i) {
        if (won[i]) {
            EXPECT_EQ(loaded.params.destPath, dests[i]);
        }
    }
}

TEST_F(ManifestStoreConcurrencyTest, SavesOfManyIdsIntoAMissingChainAllWin) {
    const int threads = 16;
    std::atomic<int> winners{0};
    RunTogether(threads, [&](int i) {
        if (store.Save(IdOf(i), TransferManifest(Params(IdOf(i), "/d/" + std::to_string(i))))) {
            winners.fetch_add(1);
        }
    });
    EXPECT_EQ(winners.load(), threads);
    for (int i = 0; i < threads; ++i) {
        TransferManifest loaded;
        ASSERT_TRUE(store.Load(IdOf(i), loaded));
        EXPECT_EQ(loaded.params.destPath, "/d/" + std::to_string(i));
    }
}

}  // namespace
}  // namespace halcyne
