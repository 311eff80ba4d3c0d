#include "transfer/StandardTransferWorkInterface.hpp"

#include "transfer/StandardTransfer.hpp"

namespace halcyne {

namespace {

// Takes the transfer's lock and, while the interface is attached, calls the callback with it. The callback
// may release the lock (to fire an event); the lock object releases it at the end if it is still held.
template <typename Call>
void Forward(std::recursive_mutex& mutex, const bool& attached, Call call) {
    StandardTransfer::Lock lock(mutex);
    if (attached) {
        call(lock);
    }
}

}  // namespace

StandardTransferWorkInterface::StandardTransferWorkInterface(StandardTransfer* transfer,
                                                             std::shared_ptr<StandardTransferData> data)
    : transfer_(transfer),
      data_(std::move(data)),
      transferCallback_([this](std::shared_ptr<Work> work, const WorkStatus& status) {
          Forward(transfer_->lock_, attached_, [&](StandardTransfer::Lock& lock) {
              transfer_->OnWorkComplete(lock, std::move(work), status);
          });
      }),
      packageCallback_([this](std::shared_ptr<Work> work, const WorkStatus& status) {
          Forward(transfer_->lock_, attached_, [&](StandardTransfer::Lock& lock) {
              transfer_->OnPackageAcquire(lock, std::move(work), status);
          });
      }),
      nodeListCallback_([this](std::shared_ptr<Work> work, const WorkStatus& status) {
          Forward(transfer_->lock_, attached_, [&](StandardTransfer::Lock& lock) {
              transfer_->OnNodeListAcquire(lock, std::move(work), status);
          });
      }),
      initializeCallback_([this](std::shared_ptr<Work> work, const WorkStatus& status) {
          Forward(transfer_->lock_, attached_, [&](StandardTransfer::Lock& lock) {
              transfer_->OnInitialize(lock, std::move(work), status);
          });
      }) {}

void StandardTransferWorkInterface::Detach() {
    StandardTransfer::Lock lock(transfer_->lock_);
    attached_ = false;
}

TransferParams StandardTransferWorkInterface::GetParams() {
    StandardTransfer::Lock lock(transfer_->lock_);
    return data_->params;
}

void StandardTransferWorkInterface::OnFileCreated(const std::string& name) {
    Forward(transfer_->lock_, attached_,
            [&](StandardTransfer::Lock& lock) { transfer_->OnFileCreated(lock, name); });
}

void StandardTransferWorkInterface::OnRunFileVerified(const FileIdentity& identity) {
    Forward(transfer_->lock_, attached_,
            [&](StandardTransfer::Lock& lock) { transfer_->OnRunFileVerified(lock, identity); });
}

void StandardTransferWorkInterface::OnWorkflowRetryableError(std::shared_ptr<Workflow> workflow,
                                                             std::shared_ptr<Work> work,
                                                             const WorkStatus& status) {
    Forward(transfer_->lock_, attached_, [&](StandardTransfer::Lock& lock) {
        transfer_->OnWorkflowRetryableError(lock, std::move(workflow), std::move(work), status);
    });
}

}  // namespace halcyne
