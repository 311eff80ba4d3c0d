// The work log as the transfer works use it: the behaviour's work log manager seen as a completion callback
// and as a retry callback (null when the behaviour has none), and the common form of a transfer work's
// description. Called while a tree is built (callbacks) or while a work is described, on any thread.
#pragma once

#include <boost/property_tree/ptree_fwd.hpp>

namespace halcyne {

class SimpleWorkRetryCallback;
class TransferBehavior;
class TransferWorkInterface;
class WorkCompleteCallback;
class WorkDescriptor;

// "name" = name, "important" = "true" when important, the transfer parameters' description (a copy taken
// under the transfer's lock), then the description of `data` (the file or chunk data) when given.
void DescribeTransferWork(boost::property_tree::ptree& tree, const char* name, bool important,
                          TransferWorkInterface& workInterface, const WorkDescriptor* data = nullptr);

WorkCompleteCallback* WorkLogCompleteCallback(const TransferBehavior& behavior);
SimpleWorkRetryCallback* WorkLogRetryCallback(const TransferBehavior& behavior);

}  // namespace halcyne
