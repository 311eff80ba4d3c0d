// A transfer whose parameters are stored by id once it has started into a destination, so that a later run
// can restore it, and removed again when it is cancelled. Threads as StandardTransfer; the store is called
// after the transfer's lock is released.
#pragma once

#include "manifest/ManifestStore.hpp"
#include "manifest/TransferManifest.hpp"
#include "transfer/StandardTransfer.hpp"

namespace halcyne {

class StoredTransfer : public StandardTransfer {
public:
    // The store is not owned and must outlive the transfer.
    StoredTransfer(const TransferParams& params, const TransferBehavior& behavior,
                   TransferWorkflowFactory* workflowFactory, ManifestStore<TransferManifest>* store,
                   MillisecondClock clock = {});

    using StandardTransfer::Cancel;
    using StandardTransfer::Start;
    // Saves the params (with the chosen destination) when the transfer started.
    TransferStatus Start(const std::string& destination) override;
    // Removes the stored params, unless the transfer was cleanly suspended.
    TransferStatus Cancel(bool deleteFiles) override;

private:
    ManifestStore<TransferManifest>* const store_;
};

}  // namespace halcyne
