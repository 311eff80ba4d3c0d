#include "transfer/TransferManager.hpp"

#include <algorithm>
#include <vector>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "transfer/TransferFactory.hpp"

namespace halcyne {

std::string NewTransferId() {
    boost::uuids::random_generator generator;
    std::string text = boost::uuids::to_string(generator());
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    return text;
}

OfflineTransferManager::OfflineTransferManager(TransferFactory* factory) : factory_(factory) {}

std::shared_ptr<Transfer> OfflineTransferManager::CreateTransfer(const TransferParams& params,
                                                                 const TransferBehavior& behavior) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (shutDown_) {
        return nullptr;
    }
    for (;;) {
        TransferParams copy = params;
        copy.transferId = NewTransferId();
        auto transfer = factory_->Create(copy, behavior);
        if (transfers_.emplace(copy.transferId, transfer).second) {
            return transfer;
        }
    }
}

std::shared_ptr<Transfer> OfflineTransferManager::GetTransfer(const std::string& transferId,
                                                              const TransferBehavior&) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (shutDown_) {
        return nullptr;
    }
    const auto found = transfers_.find(transferId);
    return found == transfers_.end() ? nullptr : found->second;
}

void OfflineTransferManager::Shutdown() {
    std::vector<std::shared_ptr<Transfer>> transfers;
    {
        std::lock_guard<std::recursive_mutex> lock(lock_);
        shutDown_ = true;
        for (const auto& entry : transfers_) {
            transfers.push_back(entry.second);
        }
    }
    for (const auto& transfer : transfers) {
        transfer->Suspend();
    }
}

TempFileTransferManager::TempFileTransferManager(ManifestStore<TransferManifest>* store,
                                                 TransferFactory* factory)
    : OfflineTransferManager(factory), store_(store) {}

std::shared_ptr<Transfer> TempFileTransferManager::GetTransfer(const std::string& transferId,
                                                               const TransferBehavior& behavior) {
    // Held across the store's Load, so that two requests for the same stored id restore it once.
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (auto transfer = OfflineTransferManager::GetTransfer(transferId, behavior)) {
        return transfer;
    }
    // After Shutdown the base finds nothing; a transfer still held here is not restored a second time (two
    // transfers of one id would write the same files, and replacing the entry would destroy a transfer
    // that works of its old tree may still reach).
    if (transfers_.count(transferId) != 0) {
        return nullptr;
    }
    TransferManifest manifest;
    if (!store_->Load(transferId, manifest) || manifest.params.transferId != transferId) {
        return nullptr;
    }
    auto transfer = factory_->Create(manifest.params, behavior);
    transfers_.emplace(transferId, transfer);
    return transfer;
}

}  // namespace halcyne
