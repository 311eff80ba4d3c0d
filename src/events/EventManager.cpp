#include "events/EventManager.hpp"

namespace halcyne {

EventManager::EventManager(unsigned threadCount) : workManager_(threadCount) {}

EventManager::~EventManager() = default;

void EventManager::Submit(std::shared_ptr<TrackEventWork> work) {
    Run(std::move(work));
}

bool EventManager::Run(std::shared_ptr<SimpleWork> work) noexcept {
    if (!work) {
        return false;
    }
    try {
        workManager_.Execute(std::move(work));
        return true;
    } catch (...) {
        // Only an allocation can fail here; a report is never worth disturbing the caller.
        return false;
    }
}

void EventManager::Drain() {
    workManager_.Drain();
}

}  // namespace halcyne
