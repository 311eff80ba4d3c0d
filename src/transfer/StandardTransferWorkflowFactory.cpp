#include "transfer/StandardTransferWorkflowFactory.hpp"

#include <algorithm>

#include "pipeline/SetupWorks.hpp"
#include "pipeline/TransferWorkInterface.hpp"
#include "work/StandardWorkflow.hpp"

namespace halcyne {

std::shared_ptr<Workflow> StandardTransferWorkflowFactory::Create(
    std::shared_ptr<TransferWorkInterface> workInterface) {
    auto root = std::make_shared<TransferPackageWork>(workInterface);
    const TransferBehavior& behavior = workInterface->Behavior();
    auto workflow = MakeStandardWorkflow(
        root, behavior.workManager, static_cast<unsigned>(std::max(behavior.settings.maxRunningWorks, 1)));
    root->SetWorkflow(workflow);
    return workflow;
}

}  // namespace halcyne
