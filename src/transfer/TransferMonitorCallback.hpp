// What the transfer monitor tells its owner (the updater's dialog) about a transfer. The monitor calls every
// operation on its own thread, one at a time; the implementation may call the engine back.
#pragma once

#include "transfer/TransferStatus.hpp"

namespace halcyne {

class TransferMonitorCallback {
public:
    virtual ~TransferMonitorCallback() = default;
    virtual void OnTransferProgress(const TransferStatus& status) = 0;
    virtual void OnTransferInitialized(const TransferStatus& status) = 0;
    virtual void OnTransferRetryableError(const TransferStatus& status) = 0;
    virtual void OnTransferEnd(const TransferStatus& status) = 0;
};

}  // namespace halcyne
