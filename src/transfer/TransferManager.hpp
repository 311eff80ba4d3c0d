// The registry of an engine's transfers: gives each new transfer its id, finds transfers by id (restoring one
// that an earlier run stored) and suspends them all at shutdown. Called from any thread; the manager's lock
// is held across the factory and the store's Load, never while a transfer is called.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "common/TransferParams.hpp"
#include "manifest/ManifestStore.hpp"
#include "manifest/TransferManifest.hpp"
#include "pipeline/TransferBehavior.hpp"
#include "transfer/Transfer.hpp"

namespace halcyne {

class TransferFactory;

class TransferManager {
public:
    TransferManager() = default;
    TransferManager(const TransferManager&) = delete;
    TransferManager& operator=(const TransferManager&) = delete;
    virtual ~TransferManager() = default;

    // A new transfer (state Initializing, nothing started) under a new id; empty after Shutdown.
    virtual std::shared_ptr<Transfer> CreateTransfer(const TransferParams& params,
                                                     const TransferBehavior& behavior) = 0;
    // The transfer of this id, or empty. The behaviour is used only to restore a stored transfer.
    virtual std::shared_ptr<Transfer> GetTransfer(const std::string& transferId,
                                                  const TransferBehavior& behavior) = 0;
    // Refuses new work and suspends every transfer (outside the lock).
    virtual void Shutdown() = 0;
};

// 32 lower-case hexadecimal digits of a fresh random (version 4) UUID.
std::string NewTransferId();

class OfflineTransferManager : public TransferManager {
public:
    // The factory is not owned and must outlive the manager.
    explicit OfflineTransferManager(TransferFactory* factory);

    std::shared_ptr<Transfer> CreateTransfer(const TransferParams& params,
                                             const TransferBehavior& behavior) override;
    std::shared_ptr<Transfer> GetTransfer(const std::string& transferId,
                                          const TransferBehavior& behavior) override;
    void Shutdown() override;

protected:
    TransferFactory* const factory_;
    std::recursive_mutex lock_;  // guards transfers_ and shutDown_
    std::unordered_map<std::string, std::shared_ptr<Transfer>> transfers_;
    bool shutDown_ = false;
};

// Restores transfers stored by earlier runs from the store (not owned; outlives the manager).
class TempFileTransferManager : public OfflineTransferManager {
public:
    TempFileTransferManager(ManifestStore<TransferManifest>* store, TransferFactory* factory);

    std::shared_ptr<Transfer> GetTransfer(const std::string& transferId,
                                          const TransferBehavior& behavior) override;

private:
    ManifestStore<TransferManifest>* const store_;
};

}  // namespace halcyne
