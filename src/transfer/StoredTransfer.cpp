#include "transfer/StoredTransfer.hpp"

namespace halcyne {

StoredTransfer::StoredTransfer(const TransferParams& params, const TransferBehavior& behavior,
                               TransferWorkflowFactory* workflowFactory,
                               ManifestStore<TransferManifest>* store, MillisecondClock clock)
    : StandardTransfer(params, behavior, workflowFactory, std::move(clock)), store_(store) {}

TransferStatus StoredTransfer::Start(const std::string& destination) {
    Lock lock(lock_);
    const auto data = data_;
    TransferStatus status = Start(lock, destination);
    // The internal Start releases the lock exactly when it started the transfer and fired its event.
    if (!lock.owns_lock()) {
        TransferParams params;
        {
            Lock again(lock_);
            params = data->params;
        }
        store_->Save(params.transferId, TransferManifest(params));
    }
    return status;
}

TransferStatus StoredTransfer::Cancel(bool deleteFiles) {
    Lock lock(lock_);
    const auto data = data_;
    TransferStatus status = Cancel(lock, deleteFiles);
    if (lock.owns_lock()) {
        lock.unlock();
    }
    if (!(status.state == TransferState::Suspended && status.error == TransferError::None)) {
        store_->Remove(data->params.transferId);
    }
    return status;
}

}  // namespace halcyne
