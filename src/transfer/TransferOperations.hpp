// The download engine's transfer operations as the updater uses them: the dialog starts and retries
// transfers, the transfer monitor polls them and listens for changes. An interface so that tests can script
// the statuses; `EngineTransferOperations` forwards to an engine held by its owner's pointer. Called from any
// thread (the interface and the monitor thread); the operations never throw for a refused or unknown transfer
// and call nothing back; only the change listener is called, from the engine's threads.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "transfer/TransferStatus.hpp"

namespace halcyne {

class TransferOperations {
public:
    virtual ~TransferOperations() = default;
    virtual TransferStatus StartTransfer(const std::string& partnerId, const std::string& packageId,
                                         const std::string& versionId) = 0;
    virtual TransferStatus StartTransferInto(const std::string& transferId,
                                             const std::string& destination) = 0;
    virtual TransferStatus GetTransferStatus(const std::string& transferId) = 0;
    // Lets a transfer that waits after a retryable error go on where it stopped.
    virtual TransferStatus RetryTransfer(const std::string& transferId) = 0;
    // Pauses a transfer that initializes or transfers, and lets a paused one go on; any other state is left
    // as it is. By default only the status is read.
    virtual TransferStatus PauseTransfer(const std::string& transferId) {
        return GetTransferStatus(transferId);
    }
    virtual TransferStatus ResumeTransfer(const std::string& transferId) {
        return GetTransferStatus(transferId);
    }
    // Removes a complete transfer from the store of transfers (its files stay): a later run starts afresh
    // and finds the files verified. Nothing for a transfer in any other state or an unknown id.
    virtual void ForgetTransfer(const std::string& transferId) { (void)transferId; }
    // `listener` is called, on whatever thread made the change and with no lock of the transfer held, after
    // a transfer's state or error has changed; it must not call these operations. One listener: this
    // replaces the previous one, and an empty function removes it, waiting for a call under way. By
    // default nothing is ever called (the caller polls).
    virtual void SetChangeListener(std::function<void()> listener) { (void)listener; }
};

// Forwards to the engine that the owner's pointer holds, read at each call (the owner may replace or reset
// it; the pointer itself must outlive this object).
template <class Engine>
class EngineTransferOperations final : public TransferOperations {
public:
    explicit EngineTransferOperations(const std::unique_ptr<Engine>* engine) : engine_(engine) {}

    TransferStatus StartTransfer(const std::string& partnerId, const std::string& packageId,
                                 const std::string& versionId) override {
        return (*engine_)->StartTransfer(partnerId, packageId, versionId);
    }
    TransferStatus StartTransferInto(const std::string& transferId, const std::string& destination) override {
        return (*engine_)->StartTransferInto(transferId, destination);
    }
    TransferStatus GetTransferStatus(const std::string& transferId) override {
        return (*engine_)->GetTransferStatus(transferId);
    }
    TransferStatus RetryTransfer(const std::string& transferId) override {
        return (*engine_)->RetryTransfer(transferId);
    }
    TransferStatus PauseTransfer(const std::string& transferId) override {
        return (*engine_)->PauseTransfer(transferId);
    }
    TransferStatus ResumeTransfer(const std::string& transferId) override {
        return (*engine_)->ResumeTransfer(transferId);
    }
    void ForgetTransfer(const std::string& transferId) override { (*engine_)->ForgetTransfer(transferId); }
    // On the engine held now; nothing when there is none.
    void SetChangeListener(std::function<void()> listener) override {
        if (*engine_) {
            (*engine_)->SetChangeListener(std::move(listener));
        }
    }

private:
    const std::unique_ptr<Engine>* engine_;
};

}  // namespace halcyne
