// Event managers take reports (analytics posts, work log entries) from any thread and run them on a small
// pool of their own, so that the reporting thread never waits. A caller gets an event work from
// CreateEventWork, fills its tree, and hands it to Submit, which only queues it. The works run on the
// manager's threads and call back only into their own manager.
#pragma once

#include <cstdint>
#include <memory>

#include <boost/property_tree/ptree.hpp>

#include "work/AsioWorkManager.hpp"
#include "work/SimpleWork.hpp"

namespace halcyne {

// One report: a tree that the creator fills before submitting, and a type (the analytics stream, or the
// work log level). Describes nothing of itself.
class TrackEventWork : public SimpleWork {
public:
    explicit TrackEventWork(std::int32_t type) : type_(type) {}

    boost::property_tree::ptree& Tree() { return tree_; }
    const boost::property_tree::ptree& Tree() const { return tree_; }
    std::int32_t Type() const { return type_; }

private:
    // Filled by the creator before Submit, read only by the thread that runs the work afterwards.
    boost::property_tree::ptree tree_;
    const std::int32_t type_;
};

class EventManager {
public:
    EventManager(const EventManager&) = delete;
    EventManager& operator=(const EventManager&) = delete;
    // Destroys the work manager: whatever is still queued is dropped. Concrete managers call Drain first.
    virtual ~EventManager();

    // A new, empty event work of this type. Any thread.
    virtual std::shared_ptr<TrackEventWork> CreateEventWork(std::int32_t type) = 0;
    // Queues the work on the manager's own threads and returns at once. Never throws: a report that
    // cannot be queued is lost. Any thread.
    virtual void Submit(std::shared_ptr<TrackEventWork> work);

protected:
    explicit EventManager(unsigned threadCount);

    // Runs a work (a report or a step before one) on the manager's threads. False when it could not be
    // queued. Never throws.
    bool Run(std::shared_ptr<SimpleWork> work) noexcept;
    // Lets every queued work run, including works they queue meanwhile, then joins the threads. Called
    // by the most derived destructor first, while everything its works use is still alive; works queued
    // afterwards never run.
    void Drain();

private:
    AsioWorkManager workManager_;
};

// The manager of the analytics streams. Streams: 1 the event stream, 32 the transfer stream.
class AnalyticsManager : public EventManager {
public:
    static constexpr std::int32_t EventStream = 1;
    static constexpr std::int32_t TransferStream = 32;

protected:
    using EventManager::EventManager;
};

}  // namespace halcyne
