#include <atomic>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "file/posix/PosixSharedFileFactory.hpp"
#include "support/TestSupport.hpp"
#include "transfer/TransferFactory.hpp"
#include "transfer/TransferManager.hpp"
#include "transfer/TransferRig.hpp"

namespace halcyne {
namespace {

using namespace halcyne::test;

// A stored-transfer store in its own temporary directory.
struct StoreRig {
    StoreRig() : tmpdir("TMPDIR", scratch.Path()), store("transfers", &fileFactory) {}
    ScratchFolder scratch;
    ScopedEnvironment tmpdir;
    PosixSharedFileFactory fileFactory;
    JsonTempFileManifestStore<TransferManifest> store;
    TransferServices services;
};

TEST(TransferManagerTest, CreateGivesEachTransferANewIdAndFindsItAgain) {
    StoreRig rig;
    StoredTransferFactory factory(&rig.store, &rig.services.workflows);
    OfflineTransferManager manager(&factory);
    TransferParams params = rig.services.Params();
    params.transferId = "mine";
    auto first = manager.CreateTransfer(params, rig.services.behavior);
    auto second = manager.CreateTransfer(params, rig.services.behavior);
    ASSERT_TRUE(first && second);
    const std::string id = first->GetStatus().transferId;
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}"))) << id;
    EXPECT_NE(id, second->GetStatus().transferId);
    EXPECT_EQ(first->GetStatus().state, TransferState::Initializing);
    EXPECT_EQ(manager.GetTransfer(id, rig.services.behavior), first);
    EXPECT_EQ(manager.GetTransfer("mine", rig.services.behavior), nullptr);
}

TEST(TransferManagerTest, RestoresAStartedTransferOfAnEarlierRunOnce) {
    StoreRig rig;
    std::string id;
    {
        StoredTransferFactory factory(&rig.store, &rig.services.workflows);
        TempFileTransferManager earlier(&rig.store, &factory);
        auto transfer = earlier.CreateTransfer(rig.services.Params(), rig.services.behavior);
        InitializeTransfer(*transfer, MakePackage({1}), MakeNodeList({"a.test"}));
        id = transfer->Start("/dest").transferId;
        earlier.Shutdown();
        EXPECT_EQ(transfer->GetStatus().state, TransferState::Suspended);
    }
    StoredTransferFactory factory(&rig.store, &rig.services.workflows);
    TempFileTransferManager manager(&rig.store, &factory);
    EXPECT_EQ(manager.GetTransfer("00000000000000000000000000000000", rig.services.behavior), nullptr);
    std::vector<std::shared_ptr<Transfer>> found(8);
    std::vector<std::thread> threads;
    for (auto& slot : found) {
        threads.emplace_back([&] { slot = manager.GetTransfer(id, rig.services.behavior); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(found[0]);
    for (const auto& transfer : found) {
        EXPECT_EQ(transfer, found[0]);
    }
    const TransferStatus status = found[0]->GetStatus();
    EXPECT_EQ(status.transferId, id);
    EXPECT_EQ(status.state, TransferState::Initializing);
    EXPECT_EQ(status.destPath, "/dest");
    EXPECT_EQ(status.partnerId, "P");
}

TEST(TransferManagerTest, ShutdownRefusesNewWorkAndEndsEveryTransfer) {
    StoreRig rig;
    StoredTransferFactory factory(&rig.store, &rig.services.workflows);
    TempFileTransferManager manager(&rig.store, &factory);
    auto initialized = manager.CreateTransfer(rig.services.Params(), rig.services.behavior);
    InitializeTransfer(*initialized, MakePackage({1}), MakeNodeList({"a.test"}));
    auto transferring = manager.CreateTransfer(rig.services.Params(), rig.services.behavior);
    InitializeTransfer(*transferring, MakePackage({1}), MakeNodeList({"a.test"}));
    transferring->Start("/dest");
    const std::string id = transferring->GetStatus().transferId;
    manager.Shutdown();
    EXPECT_EQ(initialized->GetStatus().state, TransferState::Cancelled);
    EXPECT_EQ(transferring->GetStatus().state, TransferState::Suspended);
    EXPECT_EQ(manager.CreateTransfer(rig.services.Params(), rig.services.behavior), nullptr);
    // Known ids are not found, and not restored a second time from their stored manifest.
    EXPECT_EQ(manager.OfflineTransferManager::GetTransfer(id, rig.services.behavior), nullptr);
    EXPECT_EQ(manager.GetTransfer(id, rig.services.behavior), nullptr);
}

}  // namespace
}  // namespace halcyne
