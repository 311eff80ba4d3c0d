#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "work/SimpleWork.hpp"
#include "work/Workflow.hpp"

namespace halcyne {
namespace {

using boost::property_tree::ptree;

// A task that plays a script of results, one per attempt, and counts policy questions.
class ScriptedWork : public SimpleWork {
public:
    ScriptedWork(std::vector<WorkResult> script, int retriesAllowed)
        : script_(std::move(script)), retriesAllowed_(retriesAllowed) {}
    WorkStatus ExecuteTask() override {
        const WorkResult result = script_.at(static_cast<std::size_t>(runs_++));
        if (result == WorkResult::Error && throwOnError) {
            throw std::runtime_error("task failed");
        }
        return WorkStatus(result);
    }
    void Interrupt() override {}
    bool ShouldRetry() override {
        ++questions;
        return retries_++ < retriesAllowed_;
    }
    int Runs() const { return runs_; }
    int questions = 0;
    bool throwOnError = false;

private:
    std::vector<WorkResult> script_;
    int retriesAllowed_;
    int runs_ = 0;
    int retries_ = 0;
};

struct RecordingCallbacks : WorkCompleteCallback, SimpleWorkRetryCallback {
    explicit RecordingCallbacks(std::string name, std::vector<std::string>* order = nullptr)
        : name(std::move(name)), order(order) {}
    void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus& status) override {
        completions.push_back(status);
        if (order != nullptr) {
            order->push_back(name);
        }
    }
    void OnSimpleWorkRetry(std::shared_ptr<SimpleWork>, const WorkStatus& status) override {
        retries.push_back(status);
    }
    std::string name;
    std::vector<std::string>* order;
    std::vector<WorkStatus> completions;
    std::vector<WorkStatus> retries;
};

// A workflow stand-in that records what is queued and is a named completion callback.
class RecordingWorkflow : public Workflow {
public:
    RecordingWorkflow(std::string name, std::vector<std::string>* order)
        : name_(std::move(name)), order_(order) {}
    void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus&) override { order_->push_back(name_); }
    bool Start() override { return false; }
    bool Pause() override { return false; }
    bool Resume() override { return false; }
    bool Retry() override { return false; }
    std::uint8_t GetState() override { return 0; }
    bool IsStarted() override { return false; }
    bool IsPaused() override { return false; }
    bool IsWaitingRetry() override { return false; }
    bool IsFinished() override { return false; }
    bool Cancel(const WorkStatus&) override { return false; }
    void AddRetryableErrorCallback(WorkflowRetryableErrorCallback*) override {}
    void QueueWork(std::shared_ptr<Work> work) override { queued.push_back(std::move(work)); }
    void OnTaskComplete(std::shared_ptr<Work>, const WorkStatus&) override {}
    std::vector<std::shared_ptr<Work>> queued;

private:
    std::string name_;
    std::vector<std::string>* order_;
};

TEST(SimpleWorkTest, RunLoopRetriesAsThePolicyAllows) {
    using R = WorkResult;
    struct Case {
        const char* label;
        std::vector<R> script;
        int retriesAllowed;
        R final;
        int runs;
        int questions;
    };
    const Case cases[] = {
        {"three retries then success",
         {R::RetryableError, R::RetryableError, R::RetryableError, R::Success},
         3,
         R::Success,
         4,
         3},
        {"retries exhausted",
         {R::RetryableError, R::RetryableError, R::RetryableError},
         2,
         R::RetryableError,
         3,
         3},
        {"failure is final", {R::Failure}, 5, R::Failure, 1, 0},
        {"error is final", {R::Error}, 5, R::Error, 1, 0},
        {"interrupted result is not retried", {R::Interrupted}, 5, R::Interrupted, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto work = std::make_shared<ScriptedWork>(c.script, c.retriesAllowed);
        RecordingCallbacks recorder("r");
        work->AddRetryCallback(&recorder);
        work->AddRetryCallback(nullptr);
        const WorkStatus status = work->Run();
        EXPECT_EQ(status.result, c.final);
        EXPECT_FALSE(status.retry);
        EXPECT_EQ(work->Runs(), c.runs);
        EXPECT_EQ(work->questions, c.questions);
        ASSERT_EQ(recorder.retries.size(), static_cast<std::size_t>(c.runs - 1));
        for (const WorkStatus& retried : recorder.retries) {
            EXPECT_TRUE(retried.retry);
            EXPECT_EQ(retried.result, R::RetryableError);
        }
    }
}

TEST(SimpleWorkTest, InterruptedFlagStopsBeforeTheTaskAndResetClearsIt) {
    auto work = std::make_shared<ScriptedWork>(std::vector<WorkResult>{WorkResult::Success}, 0);
    work->SetInterrupted();
    EXPECT_EQ(work->Run().result, WorkResult::Interrupted);
    EXPECT_EQ(work->Runs(), 0);
    work->Reset();
    EXPECT_EQ(work->Run().result, WorkResult::Success);
}

TEST(SimpleWorkTest, ExceptionsBecomeErrorWithExceptionDataAndAreNeverRetried) {
    struct Thrower : ScriptedWork {
        Thrower() : ScriptedWork({WorkResult::RetryableError, WorkResult::Success}, 5) {}
        bool ShouldRetry() override { throw std::runtime_error("policy broke"); }
    };
    auto work = std::make_shared<Thrower>();
    RecordingCallbacks observer("o");
    work->AddWorkCompleteCallback(&observer);
    const WorkStatus status = work->Run();
    EXPECT_EQ(status.result, WorkResult::Error);
    ASSERT_NE(std::dynamic_pointer_cast<WorkExceptionData>(status.data), nullptr);
    EXPECT_EQ(status.data->ToErrorString(), "std::runtime_error");
    EXPECT_EQ(work->Runs(), 1);
    work->NotifyComplete(status);  // the completion callbacks still run
    ASSERT_EQ(observer.completions.size(), 1u);

    auto task = std::make_shared<ScriptedWork>(std::vector<WorkResult>{WorkResult::Error}, 5);
    task->throwOnError = true;
    EXPECT_EQ(task->Run().result, WorkResult::Error);
    EXPECT_EQ(task->questions, 0);
}

TEST(SimpleWorkTest, CallbackListKeepsWorkflowFirstAndParentLast) {
    std::vector<std::string> order;
    auto work = MakeNoOpWork();
    RecordingCallbacks early("early", &order), parentA("parentA", &order), parentB("parentB", &order),
        late("late", &order);
    auto flowA = std::make_shared<RecordingWorkflow>("flowA", &order);
    auto flowB = std::make_shared<RecordingWorkflow>("flowB", &order);

    work->AddWorkCompleteCallback(&early);
    work->AttachParent(&parentA);
    work->SetWorkflow(flowA);
    work->SetWorkflow(flowB);              // replaces flowA
    work->AttachParent(&parentB);          // replaces parentA, stays last
    work->AddWorkCompleteCallback(&late);  // goes before the parent
    work->AddWorkCompleteCallback(nullptr);
    work->NotifyComplete(WorkStatus(WorkResult::Success));
    EXPECT_EQ(order, (std::vector<std::string>{"flowB", "early", "late", "parentB"}));
    EXPECT_TRUE(work->IsWorkflowAttached());
    EXPECT_TRUE(work->IsParentAttached());
}

TEST(SimpleWorkTest, QueueingNeedsAWorkflow) {
    std::vector<std::string> order;
    auto work = MakeNoOpWork();
    auto flow = std::make_shared<RecordingWorkflow>("flow", &order);
    work->QueueAvailableWork(flow);
    ASSERT_EQ(flow->queued.size(), 1u);
    EXPECT_EQ(flow->queued.front(), work);
    EXPECT_THROW(work->QueueAvailableWork(nullptr), std::logic_error);
    EXPECT_THROW(work->SetWorkflow(nullptr), std::logic_error);
}

TEST(SimpleWorkTest, NoOpWorkSucceedsAndDescribesItsCompletion) {
    RecordingCallbacks given("given");
    auto work = MakeNoOpWork(&given);
    const WorkStatus status = work->Run();
    EXPECT_EQ(status.result, WorkResult::Success);
    EXPECT_EQ(status.data, nullptr);
    work->NotifyComplete(status);
    EXPECT_EQ(given.completions.size(), 1u);

    ptree tree;
    work->DescribeCompletion(status, tree);
    EXPECT_EQ(tree.get<std::string>("name"), "NoOpWork");
    EXPECT_EQ(tree.get<std::string>("workStatus.result"), "0");
    EXPECT_EQ(tree.get<std::string>("workStatus.retry"), "false");
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree.front().first, "name");
}

}  // namespace
}  // namespace halcyne
