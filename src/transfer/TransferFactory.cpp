#include "transfer/TransferFactory.hpp"

#include "transfer/StoredTransfer.hpp"

namespace halcyne {

StoredTransferFactory::StoredTransferFactory(ManifestStore<TransferManifest>* store,
                                             TransferWorkflowFactory* workflowFactory, MillisecondClock clock)
    : store_(store), workflowFactory_(workflowFactory), clock_(std::move(clock)) {}

std::shared_ptr<Transfer> StoredTransferFactory::Create(const TransferParams& params,
                                                        const TransferBehavior& behavior) {
    return std::make_shared<StoredTransfer>(params, behavior, workflowFactory_, store_, clock_);
}

}  // namespace halcyne
