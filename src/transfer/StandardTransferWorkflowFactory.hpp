// The workflow factory of the engine: a StandardWorkflow around a new TransferPackageWork, on the behaviour's
// work manager. Stateless; called by transfers under their own lock on any thread.
#pragma once

#include "transfer/TransferWorkflowFactory.hpp"

namespace halcyne {

class StandardTransferWorkflowFactory : public TransferWorkflowFactory {
public:
    // The root's whole tree carries the workflow as its first completion callback; the workflow is not
    // started.
    std::shared_ptr<Workflow> Create(std::shared_ptr<TransferWorkInterface> workInterface) override;
};

}  // namespace halcyne
