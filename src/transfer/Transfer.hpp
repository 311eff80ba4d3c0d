// A transfer: the long-lived object behind one package download. Its operations are called from any thread
// (the engine's callers, the transfer manager at shutdown); each returns the status right after it, and a
// request that does not apply returns the status unchanged. Operations never throw but for allocation and
// the workflow factory. Events are fired on the calling thread after the transfer's lock is released.
#pragma once

#include <memory>
#include <string>

#include "transfer/TransferStatus.hpp"

namespace halcyne {

class TransferWorkInterface;

class Transfer {
public:
    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    virtual ~Transfer() = default;

    virtual TransferStatus Initialize() = 0;
    virtual TransferStatus Start(const std::string& destination) = 0;
    virtual bool HasEnoughSpace(const std::string& folder) = 0;
    virtual TransferStatus GetStatus() = 0;
    virtual TransferStatus Cancel(bool deleteFiles) = 0;
    virtual TransferStatus Pause() = 0;
    virtual TransferStatus Resume() = 0;
    virtual TransferStatus Retry() = 0;
    virtual TransferStatus Suspend() = 0;
    virtual TransferStatus Restore() = 0;
    virtual std::shared_ptr<TransferWorkInterface> GetWorkInterface() = 0;
    // The content nodes with their statistics as JSON text: an array of one object per node.
    virtual std::string GetNodeReport() = 0;
};

}  // namespace halcyne
