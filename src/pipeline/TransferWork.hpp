// The first base of every transfer work: the work's way to its transfer. Constructed with the work, on the
// thread that builds the tree; the pointer never changes afterwards, so it is read on any thread.
#pragma once

#include <memory>
#include <utility>

#include "pipeline/TransferWorkInterface.hpp"

namespace halcyne {

class TransferWork {
public:
    explicit TransferWork(std::shared_ptr<TransferWorkInterface> workInterface)
        : workInterface_(std::move(workInterface)) {}
    TransferWork(const TransferWork&) = delete;
    TransferWork& operator=(const TransferWork&) = delete;
    virtual ~TransferWork() = default;

    const std::shared_ptr<TransferWorkInterface>& WorkInterface() const { return workInterface_; }

protected:
    const std::shared_ptr<TransferWorkInterface> workInterface_;
};

}  // namespace halcyne
