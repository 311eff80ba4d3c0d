// One updater per data folder: an exclusive flock on `<data folder>/updater.lock`, taken without waiting and
// held while this object lives. The kernel drops it when the process ends however it ends, so a killed
// updater never leaves it held, and the lock file itself is never removed (removing it would let a third
// updater lock a new file while the first still holds the old one). The descriptor is not inherited by the
// downloader. Main thread.
#pragma once

#include <string>

namespace halcyne::Updater {

class InstanceLock {
public:
    // Tries to take the lock of `folder`, which must exist and be private to the user.
    explicit InstanceLock(const std::string& folder);
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

    // Another process holds the lock: another updater runs with this data folder.
    bool HeldByAnother() const { return heldByAnother_; }
    // Why the lock could not be taken for another reason (the run goes on without it); empty otherwise.
    const std::string& Error() const { return error_; }

private:
    int descriptor_ = -1;
    bool heldByAnother_ = false;
    std::string error_;
};

}  // namespace halcyne::Updater
