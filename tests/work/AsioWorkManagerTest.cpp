#include <chrono>
#include <functional>
#include <future>
#include <numeric>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "support/ScriptedWork.hpp"
#include "work/AsioWorkManager.hpp"
#include "work/SimpleWork.hpp"
#include "work/StandardWorkflow.hpp"

namespace halcyne {
namespace {

using test::CompletionRecorder;
using R = WorkResult;

// A work whose task runs a function.
class FunctionWork : public SimpleWork {
public:
    explicit FunctionWork(std::function<void()> task) : task_(std::move(task)) {}
    WorkStatus ExecuteTask() override {
        task_();
        return WorkStatus(R::Success);
    }
    void Interrupt() override {}

private:
    std::function<void()> task_;
};

std::shared_ptr<FunctionWork> MakeFunctionWork(std::function<void()> task) {
    return std::make_shared<FunctionWork>(std::move(task));
}

// Tells a promise when it is called, after throwing a given number of times.
struct Signal : WorkCompleteCallback {
    explicit Signal(int throws = 0) : throws(throws) {}
    void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus& status) override {
        if (throws-- > 0) {
            throw std::runtime_error("observer failed");
        }
        done.set_value(status);
    }
    int throws;
    std::promise<WorkStatus> done;
};

constexpr auto Patience = std::chrono::seconds(30);

TEST(AsioWorkManagerTest, OneThreadRunsWorksInPostingOrder) {
    AsioWorkManager manager(1);
    std::vector<int> order;  // written only by the single pool thread
    Signal last;
    for (int i = 0; i < 20; ++i) {
        manager.Execute(MakeFunctionWork([&order, i] { order.push_back(i); }));
    }
    auto final = MakeNoOpWork(&last);
    manager.Execute(final);
    ASSERT_EQ(last.done.get_future().wait_for(Patience), std::future_status::ready);
    std::vector<int> expected(20);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
}

TEST(AsioWorkManagerTest, ThrowingCallbackOfAStandaloneWorkLeavesThePoolRunning) {
    AsioWorkManager manager(1);
    Signal thrower(1), next;
    manager.Execute(MakeNoOpWork(&thrower));
    manager.Execute(MakeNoOpWork(&next));
    ASSERT_EQ(next.done.get_future().wait_for(Patience), std::future_status::ready);
}

TEST(AsioWorkManagerTest, ThrowingCallbackOfAWorkflowWorkCancelsTheWorkflowWithError) {
    AsioWorkManager manager(2);
    Signal observer(1);  // throws on the work's own completion, then learns of the cancellation
    auto root = MakeNoOpWork(&observer);
    auto workflow = MakeStandardWorkflow(root, &manager, 1);
    root->SetWorkflow(workflow);
    workflow->Start();
    auto told = observer.done.get_future();
    ASSERT_EQ(told.wait_for(Patience), std::future_status::ready);
    const WorkStatus status = told.get();
    EXPECT_EQ(status.result, R::Error);
    ASSERT_NE(std::dynamic_pointer_cast<WorkExceptionData>(status.data), nullptr);
    boost::property_tree::ptree description;
    status.data->Describe(description);
    EXPECT_EQ(description.get<std::string>("what"), "observer failed");
    EXPECT_EQ(static_cast<WorkflowState>(workflow->GetState()), WorkflowState::Cancelled);
}

TEST(AsioWorkManagerTest, DestructionLetsRunningWorksFinishAndDropsQueuedOnes) {
    auto manager = std::make_unique<AsioWorkManager>(1);
    AsioWorkManager* raw = manager.get();
    std::promise<void> started;
    std::atomic<bool> finished{false};
    manager->Execute(MakeFunctionWork([&] {
        started.set_value();
        while (!raw->IsStopped()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        finished = true;
    }));
    std::atomic<int> queuedRuns{0};
    std::weak_ptr<Work> queued = [&] {
        auto work = MakeFunctionWork([&] { ++queuedRuns; });
        manager->Execute(work);
        return std::weak_ptr<Work>(work);
    }();
    started.get_future().wait();
    manager.reset();
    EXPECT_TRUE(finished);
    EXPECT_EQ(queuedRuns, 0);
    EXPECT_TRUE(queued.expired());  // the dropped handler released its work
}

TEST(AsioWorkManagerTest, DrainRunsEverythingQueuedThenJoins) {
    AsioWorkManager manager(2);
    std::atomic<int> runs{0};
    for (int i = 0; i < 50; ++i) {
        manager.Execute(MakeFunctionWork([&] { ++runs; }));
    }
    manager.Drain();
    EXPECT_EQ(runs, 50);
    manager.Drain();
    manager.Execute(MakeFunctionWork([&] { ++runs; }));  // no threads left: never runs
    EXPECT_EQ(runs, 50);
}

TEST(AsioWorkManagerTest, DrainRunsWhatRunningWorksQueueMeanwhile) {
    // A work that queues the next one, as a log's set-up work queues its entry: the chain runs to its end.
    AsioWorkManager manager(2);
    std::atomic<int> runs{0};
    std::function<void(int)> chain = [&](int left) {
        ++runs;
        if (left > 0) {
            manager.Execute(MakeFunctionWork([&chain, left] { chain(left - 1); }));
        }
    };
    manager.Execute(MakeFunctionWork([&] { chain(20); }));
    manager.Drain();
    EXPECT_EQ(runs, 21);
}

}  // namespace
}  // namespace halcyne
