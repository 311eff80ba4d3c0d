// Builds transfer objects for a transfer manager, under the manager's lock. Calls nothing back.
#pragma once

#include <memory>

#include "common/TransferParams.hpp"
#include "manifest/ManifestStore.hpp"
#include "manifest/TransferManifest.hpp"
#include "pipeline/TransferBehavior.hpp"
#include "transfer/Transfer.hpp"
#include "transfer/TransferStatusImpl.hpp"
#include "transfer/TransferWorkflowFactory.hpp"

namespace halcyne {

class TransferFactory {
public:
    virtual ~TransferFactory() = default;
    virtual std::shared_ptr<Transfer> Create(const TransferParams& params,
                                             const TransferBehavior& behavior) = 0;
};

// Makes StoredTransfers over one store and one workflow factory (neither owned; both outlive the factory).
class StoredTransferFactory : public TransferFactory {
public:
    // An empty clock is the monotonic clock; tests give their own.
    StoredTransferFactory(ManifestStore<TransferManifest>* store, TransferWorkflowFactory* workflowFactory,
                          MillisecondClock clock = {});
    std::shared_ptr<Transfer> Create(const TransferParams& params, const TransferBehavior& behavior) override;

private:
    ManifestStore<TransferManifest>* const store_;
    TransferWorkflowFactory* const workflowFactory_;
    const MillisecondClock clock_;
};

}  // namespace halcyne
