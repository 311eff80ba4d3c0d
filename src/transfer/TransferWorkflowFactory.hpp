// Builds the workflow of a transfer around a new work tree. Called by the transfer under its own lock, on
// the thread of the operation that needs a workflow; it calls nothing back.
#pragma once

#include <memory>

namespace halcyne {

class TransferWorkInterface;
class Workflow;

class TransferWorkflowFactory {
public:
    virtual ~TransferWorkflowFactory() = default;
    // A workflow whose tree reaches the transfer through this interface; not started.
    virtual std::shared_ptr<Workflow> Create(std::shared_ptr<TransferWorkInterface> workInterface) = 0;
};

}  // namespace halcyne
