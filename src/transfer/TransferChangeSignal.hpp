// Tells one listener (the transfer monitor) that a transfer's state or error has changed, so that the end of
// a transfer, or its initialization, is seen at once instead of at the next poll. The engine owns one; its
// transfers call Notify from work-manager threads and callers' threads, after the event of the change has
// been fired and with no lock of the transfer held. The listener is set and cleared from any thread but the
// listener itself.
#pragma once

#include <functional>
#include <mutex>

namespace halcyne {

class TransferChangeSignal {
public:
    // Replaces the listener; an empty function removes it. Returns once a call of the previous listener that
    // was under way has returned, so that its owner may then go.
    void SetListener(std::function<void()> listener);
    // Calls the listener, if any, on the calling thread. Exceptions of the listener are swallowed.
    void Notify() noexcept;

private:
    // Guards listener_ and is held while the listener runs (which is why SetListener waits for a call under
    // way). The listener may take a lock of its own inside it, but must not call back here.
    std::mutex mutex_;
    std::function<void()> listener_;
};

}  // namespace halcyne
