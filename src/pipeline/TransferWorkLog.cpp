#include "pipeline/TransferWorkLog.hpp"

#include <boost/property_tree/ptree.hpp>

#include "pipeline/TransferBehavior.hpp"
#include "pipeline/TransferWorkInterface.hpp"

#if __has_include("events/LogManager.hpp")
#include "events/LogManager.hpp"
#define HALCYNE_HAS_WORK_LOG 1
#endif

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

WorkCompleteCallback* WorkLogCompleteCallback([[maybe_unused]] const TransferBehavior& behavior) {
#ifdef HALCYNE_HAS_WORK_LOG
    return behavior.workLogManager;
#else
    return nullptr;
#endif
}

SimpleWorkRetryCallback* WorkLogRetryCallback([[maybe_unused]] const TransferBehavior& behavior) {
#ifdef HALCYNE_HAS_WORK_LOG
    return behavior.workLogManager;
#else
    return nullptr;
#endif
}

}  // namespace halcyne
