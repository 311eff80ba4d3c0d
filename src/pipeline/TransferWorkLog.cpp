#include "pipeline/TransferWorkLog.hpp"

#include <boost/property_tree/ptree.hpp>

#include "events/LogManager.hpp"
#include "pipeline/TransferBehavior.hpp"
#include "pipeline/TransferWorkInterface.hpp"

namespace halcyne {

void DescribeTransferWork(boost::property_tree::ptree& tree, const char* name, bool important,
                          TransferWorkInterface& workInterface, const WorkDescriptor* data) {
    tree.put("name", name);
    if (important) {
        tree.put("important", "true");
    }
    workInterface.GetParams().Describe(tree);
    if (data != nullptr) {
        data->Describe(tree);
    }
}

WorkCompleteCallback* WorkLogCompleteCallback(const TransferBehavior& behavior) {
    return behavior.workLogManager;
}

SimpleWorkRetryCallback* WorkLogRetryCallback(const TransferBehavior& behavior) {
    return behavior.workLogManager;
}

}  // namespace halcyne
