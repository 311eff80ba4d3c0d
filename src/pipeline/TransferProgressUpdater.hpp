// Where the chunk works report bytes: the transfer's progress (bytes believed good), its verified bytes, the
// bytes received over the network, and the read-back checks of files (what the player sees as verifying).
// Implemented by the transfer's progress object; called from any work-manager thread at once, and calls
// nothing back.
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
    // A read-back check of data already on disk (a whole file's hash, a chunk an earlier run left) begins
    // over `bytes`, and bytes of it have been read; every byte a check begins with is reported checked by its
    // end, however it ends.
    virtual void AddChecking(const std::uint64_t& bytes) { (void)bytes; }
    virtual void AddChecked(const std::uint64_t& bytes) { (void)bytes; }
};

}  // namespace halcyne
