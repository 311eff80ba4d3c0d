// Where the chunk works report bytes: the transfer's progress (bytes believed good), its verified bytes and
// the bytes received over the network. Implemented by the transfer's progress object; called from any
// work-manager thread at once, and calls nothing back.
#pragma once

#include <cstdint>

namespace halcyne {

class TransferProgressUpdater {
public:
    TransferProgressUpdater() = default;
    TransferProgressUpdater(const TransferProgressUpdater&) = delete;
    TransferProgressUpdater& operator=(const TransferProgressUpdater&) = delete;
    virtual ~TransferProgressUpdater() = default;

    virtual void AddProgress(const std::uint64_t& bytes) = 0;
    virtual void RemoveProgress(const std::uint64_t& bytes) = 0;
    virtual void AddVerified(const std::uint64_t& bytes) = 0;
    virtual void AddTransferred(const std::uint64_t& bytes) = 0;
};

}  // namespace halcyne
