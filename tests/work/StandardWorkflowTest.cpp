#include <chrono>
#include <future>
#include <stdexcept>

#include <gtest/gtest.h>

#include "support/ManualWorkManager.hpp"
#include "support/ScriptedWork.hpp"
#include "work/CompositeWork.hpp"
#include "work/StandardWorkflow.hpp"

namespace halcyne {
namespace {

using test::CompletionRecorder;
using test::MakeScriptedWork;
using test::ManualWorkManager;
using test::ScriptedWork;
using R = WorkResult;
using S = WorkflowState;

WorkflowState StateOf(Workflow& workflow) {
    return static_cast<WorkflowState>(workflow.GetState());
}

// Runs the pending job of this work as a pool thread would; fails the test when it is not pending.
void RunPending(ManualWorkManager& manager, const std::shared_ptr<SimpleWork>& work) {
    const auto pending = manager.PendingWorks();
    const auto found = std::find(pending.begin(), pending.end(), work);
    ASSERT_NE(found, pending.end());
    manager.RunNext(static_cast<std::size_t>(found - pending.begin()));
}

struct RetryRecorder : WorkflowRetryableErrorCallback {
    void OnWorkflowRetryableError(std::shared_ptr<Workflow>, std::shared_ptr<Work> work,
                                  const WorkStatus& status) override {
        works.push_back(std::move(work));
        statuses.push_back(status);
    }
    std::vector<std::shared_ptr<Work>> works;
    std::vector<WorkStatus> statuses;
};

// A workflow over a parallel set of a plain work and a work that fails retryably once, driven into any
// state by the works' own reports.
struct Harness {
    explicit Harness(WorkflowState state) {
        root = MakeParallelWork(&rootRecorder);
        root->AddChild(plain);
        root->AddChild(flaky);
        workflow = MakeStandardWorkflow(root, &manager, 2);
        root->SetWorkflow(workflow);
        if (state == S::NotStarted) {
            return;
        }
        workflow->Start();
        if (state == S::Paused) {
            workflow->Pause();
        }
        if (state == S::WaitingRetry || state == S::PausedWaitingRetry) {
            RunPending(manager, flaky);  // no retry budget: the workflow waits
        }
        if (state == S::PausedWaitingRetry) {
            workflow->Pause();
        }
        if (state == S::Finished) {
            workflow->OnWorkComplete(root, WorkStatus(R::Success));
        }
        if (state == S::Cancelled) {
            workflow->Cancel(WorkStatus(R::Error));
        }
    }

    ManualWorkManager manager;
    CompletionRecorder rootRecorder;
    std::shared_ptr<ScriptedWork> plain = MakeScriptedWork({R::Success}, 0, "plain");
    std::shared_ptr<ScriptedWork> flaky = MakeScriptedWork({R::RetryableError, R::Success}, 0, "flaky");
    std::shared_ptr<ParallelWork> root;
    std::shared_ptr<StandardWorkflow> workflow;
};

TEST(StandardWorkflowTest, EveryOperationInEveryState) {
    enum Op { Start, Pause, Resume, Retry, Cancel };
    struct Expectation {
        bool changed;
        WorkflowState to;
    };
    struct Row {
        WorkflowState from;
        Expectation start, pause, resume, retry, cancel;
    };
    const Expectation no{false, S::NotStarted};  // "to" is ignored when nothing changes
    const Row rows[] = {
        {S::NotStarted, {true, S::Running}, no, no, no, {true, S::Cancelled}},
        {S::Running, no, {true, S::Paused}, no, no, {true, S::Cancelled}},
        {S::Paused, no, no, {true, S::Running}, no, {true, S::Cancelled}},
        {S::WaitingRetry, no, {true, S::PausedWaitingRetry}, no, {true, S::Running}, {true, S::Cancelled}},
        {S::PausedWaitingRetry, no, no, {true, S::WaitingRetry}, {true, S::Paused}, {true, S::Cancelled}},
        {S::Finished, no, no, no, no, {true, S::Cancelled}},
        {S::Cancelled, no, no, no, no, no},
    };
    for (const Row& row : rows) {
        const Expectation expectations[] = {row.start, row.pause, row.resume, row.retry, row.cancel};
        for (int op = Start; op <= Cancel; ++op) {
            SCOPED_TRACE(::testing::Message() << "from state " << int(row.from) << ", operation " << op);
            Harness h(row.from);
            ASSERT_EQ(StateOf(*h.workflow), row.from);
            const std::size_t notified = h.rootRecorder.Count();
            bool changed = false;
            switch (op) {
                case Start:
                    changed = h.workflow->Start();
                    break;
                case Pause:
                    changed = h.workflow->Pause();
                    break;
                case Resume:
                    changed = h.workflow->Resume();
                    break;
                case Retry:
                    changed = h.workflow->Retry();
                    break;
                case Cancel:
                    changed = h.workflow->Cancel(WorkStatus(R::Error));
                    break;
            }
            const Expectation& expected = expectations[op];
            EXPECT_EQ(changed, expected.changed);
            const WorkflowState now = StateOf(*h.workflow);
            EXPECT_EQ(now, expected.changed ? expected.to : row.from);
            // Only a cancellation tells the root's callbacks, and only when it changed the state.
            EXPECT_EQ(h.rootRecorder.Count(), notified + (op == Cancel && changed ? 1 : 0));
            EXPECT_EQ(h.workflow->IsStarted(), now != S::NotStarted);
            EXPECT_EQ(h.workflow->IsPaused(), now == S::Paused || now == S::PausedWaitingRetry);
            EXPECT_EQ(h.workflow->IsWaitingRetry(), now == S::WaitingRetry || now == S::PausedWaitingRetry);
            EXPECT_EQ(h.workflow->IsFinished(), now == S::Finished || now == S::Cancelled);
            // Works are sent only while running: the works already out report back, and none is sent.
            if (now != S::Running) {
                const std::size_t sent = h.manager.History().size();
                h.manager.RunAll();
                EXPECT_EQ(h.manager.History().size(), sent);
            }
        }
    }
}

TEST(StandardWorkflowTest, SendsNewestFirstAndAtMostMaxRunning) {
    ManualWorkManager manager;
    auto root = MakeParallelWork();
    std::vector<std::shared_ptr<ScriptedWork>> works;
    for (int i = 0; i < 5; ++i) {
        works.push_back(MakeScriptedWork({R::Success}, 0, std::to_string(i)));
        root->AddChild(works.back());
    }
    auto workflow = MakeStandardWorkflow(root, &manager, 2);
    root->SetWorkflow(workflow);
    ASSERT_TRUE(workflow->Start());
    EXPECT_EQ(manager.PendingWorks(), (std::vector<std::shared_ptr<SimpleWork>>{works[4], works[3]}));
    manager.RunNext();  // 4 done: one more is sent
    EXPECT_EQ(manager.PendingWorks(), (std::vector<std::shared_ptr<SimpleWork>>{works[3], works[2]}));
    manager.RunAll();
    const std::vector<std::shared_ptr<SimpleWork>> order(works.rbegin(), works.rend());
    EXPECT_EQ(manager.History(), order);
    EXPECT_EQ(StateOf(*workflow), S::Finished);
    EXPECT_EQ(root->GetStatus().result, R::Success);
}

TEST(StandardWorkflowTest, MaxRunningOfZeroStillRunsOneAtATime) {
    ManualWorkManager manager;
    auto root = MakeParallelWork();
    root->AddChild(MakeNoOpWork());
    root->AddChild(MakeNoOpWork());
    auto workflow = MakeStandardWorkflow(root, &manager, 0);
    root->SetWorkflow(workflow);
    workflow->Start();
    EXPECT_EQ(manager.Pending(), 1u);
    EXPECT_EQ(manager.RunAll(), 2u);
    EXPECT_TRUE(workflow->IsFinished());
}

TEST(StandardWorkflowTest, PauseInterruptsRunningWorksWhichRunAgainAfterResume) {
    ManualWorkManager manager;
    auto root = MakeParallelWork();
    std::vector<std::shared_ptr<ScriptedWork>> works;
    for (int i = 0; i < 3; ++i) {
        works.push_back(MakeScriptedWork({R::Success}));
        root->AddChild(works.back());
    }
    auto workflow = MakeStandardWorkflow(root, &manager, 3);
    root->SetWorkflow(workflow);
    workflow->Start();
    ASSERT_EQ(manager.Pending(), 3u);
    ASSERT_TRUE(workflow->Pause());
    for (const auto& work : works) {
        EXPECT_TRUE(work->IsInterrupted());
        EXPECT_EQ(work->Interrupts(), 1);
    }
    EXPECT_EQ(manager.RunAll(), 3u);  // all end Interrupted without running their task; none is sent
    for (const auto& work : works) {
        EXPECT_EQ(work->Executions(), 0);
    }
    ASSERT_TRUE(workflow->Resume());
    EXPECT_EQ(manager.RunAll(), 3u);
    for (const auto& work : works) {
        EXPECT_EQ(work->Executions(), 1);
    }
    EXPECT_EQ(StateOf(*workflow), S::Finished);
    EXPECT_EQ(root->GetStatus().result, R::Success);
}

TEST(StandardWorkflowTest, ExhaustedRetriesWaitForRetryAndTellTheCallbacksOnce) {
    ManualWorkManager manager;
    auto root = MakeParallelWork();
    auto exhausted =
        MakeScriptedWork({R::RetryableError, R::RetryableError, R::RetryableError, R::Success}, 1);
    auto late = MakeScriptedWork({R::RetryableError, R::Success});  // its task is already past the check
    auto other = MakeScriptedWork({R::Success});
    root->AddChild(exhausted);
    root->AddChild(late);
    root->AddChild(other);
    auto workflow = MakeStandardWorkflow(root, &manager, 3);
    root->SetWorkflow(workflow);
    RetryRecorder retries;
    workflow->AddRetryableErrorCallback(&retries);
    workflow->AddRetryableErrorCallback(nullptr);
    workflow->Start();

    ManualWorkManager::Job lateJob = manager.Take(1);
    ASSERT_EQ(lateJob.work, late);
    const WorkStatus lateStatus = late->Run();

    RunPending(manager, exhausted);  // two attempts, then the budget is spent
    EXPECT_EQ(exhausted->Executions(), 2);
    EXPECT_EQ(StateOf(*workflow), S::WaitingRetry);
    ASSERT_EQ(retries.statuses.size(), 1u);
    EXPECT_EQ(retries.works.front(), exhausted);
    EXPECT_EQ(retries.statuses.front().result, R::RetryableError);
    EXPECT_FALSE(retries.statuses.front().retry);
    EXPECT_EQ(other->Interrupts(), 1);
    EXPECT_EQ(late->Interrupts(), 1);

    late->NotifyComplete(lateStatus);  // a second retryable error while waiting: nobody is told
    workflow->OnTaskComplete(late, lateStatus);
    EXPECT_EQ(retries.statuses.size(), 1u);
    EXPECT_EQ(manager.RunAll(), 1u);  // the interrupted work ends Interrupted and waits too
    EXPECT_EQ(other->Executions(), 0);

    ASSERT_TRUE(workflow->Retry());
    EXPECT_EQ(manager.Pending(), 3u);
    manager.RunAll();
    EXPECT_EQ(exhausted->Executions(), 4);  // a fresh budget: one retry, then success
    EXPECT_EQ(StateOf(*workflow), S::Finished);
    EXPECT_EQ(root->GetStatus().result, R::Success);
    EXPECT_EQ(retries.statuses.size(), 1u);
}

TEST(StandardWorkflowTest, ErrorOfADeepWorkFinishesAtOnce) {
    ManualWorkManager manager;
    CompletionRecorder rootRecorder;
    auto root = MakeSequentialWork(&rootRecorder);
    auto set = MakeParallelWork();
    auto failing = MakeScriptedWork({R::Error}, 0, "failing");
    auto sibling = MakeScriptedWork({R::Success});
    auto never = MakeScriptedWork({R::Success});
    set->AddChild(failing);
    set->AddChild(sibling);
    root->AddChild(set);
    root->AddChild(never);
    auto workflow = MakeStandardWorkflow(root, &manager, 2);
    root->SetWorkflow(workflow);
    workflow->Start();
    RunPending(manager, failing);
    EXPECT_EQ(StateOf(*workflow), S::Finished);
    EXPECT_EQ(sibling->Interrupts(), 1);
    manager.RunAll();  // the sibling ends Interrupted and is dropped
    EXPECT_EQ(manager.Pending(), 0u);
    EXPECT_EQ(never->Executions(), 0);
    ASSERT_EQ(rootRecorder.Count(), 1u);
    EXPECT_EQ(rootRecorder.Statuses().front().result, R::Error);
    EXPECT_EQ(test::DataMessage(rootRecorder.Statuses().front()), "failing");
    EXPECT_FALSE(workflow->Resume());
    EXPECT_FALSE(workflow->Start());
}

// A work queued again before its previous run has been reported must not run a second time alongside
// it, whatever sends ready works meanwhile.
TEST(StandardWorkflowTest, WorkQueuedAgainWhileBeingReportedWaitsForTheReport) {
    ManualWorkManager manager;
    auto root = std::make_shared<LimitedRetrySequentialWork>(nullptr, 1);
    auto flaky = MakeScriptedWork({R::Failure, R::Success});
    root->AddChild(flaky);
    auto workflow = MakeStandardWorkflow(root, &manager, 4);
    root->SetWorkflow(workflow);
    workflow->Start();
    ManualWorkManager::Job job = manager.Take();
    const WorkStatus status = flaky->Run();
    flaky->NotifyComplete(status);  // the sequence restarts and queues its first child again at once
    workflow->Pause();
    workflow->Resume();  // sends ready works
    EXPECT_EQ(manager.Pending(), 0u);
    workflow->OnTaskComplete(flaky, status);
    EXPECT_EQ(manager.Pending(), 1u);
    manager.RunAll();
    EXPECT_EQ(flaky->Executions(), 2);
    EXPECT_EQ(StateOf(*workflow), S::Finished);
    EXPECT_EQ(root->GetStatus().result, R::Success);
}

TEST(StandardWorkflowTest, CallbacksRunWithoutTheWorkflowLock) {
    // Each callback asks for the state from another thread; that would block if the lock were held.
    struct CrossThreadProbe : WorkflowRetryableErrorCallback, WorkCompleteCallback {
        void Probe(Workflow& workflow) {
            auto asked = std::async(std::launch::async, [&] { return workflow.GetState(); });
            answered.push_back(asked.wait_for(std::chrono::seconds(10)) == std::future_status::ready);
            asked.wait();
        }
        void OnWorkflowRetryableError(std::shared_ptr<Workflow> workflow, std::shared_ptr<Work>,
                                      const WorkStatus&) override {
            Probe(*workflow);
        }
        void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus&) override { Probe(*target); }
        Workflow* target = nullptr;
        std::vector<bool> answered;
    };
    CrossThreadProbe probe;
    ManualWorkManager manager;
    auto root = MakeScriptedWork({R::RetryableError});
    root->AddWorkCompleteCallback(&probe);
    auto workflow = MakeStandardWorkflow(root, &manager, 1);
    probe.target = workflow.get();
    root->SetWorkflow(workflow);
    workflow->AddRetryableErrorCallback(&probe);
    workflow->Start();
    manager.RunAll();                        // the retryable-error callback, then the root's callback
    workflow->Cancel(WorkStatus(R::Error));  // the root's callback learns of the cancellation
    EXPECT_EQ(probe.answered, (std::vector<bool>{true, true, true}));
}

TEST(StandardWorkflowTest, QueuesOnlySimpleWorks) {
    ManualWorkManager manager;
    auto root = MakeSequentialWork();
    auto workflow = MakeStandardWorkflow(root, &manager, 1);
    EXPECT_THROW(workflow->QueueWork(root), std::logic_error);
    EXPECT_THROW(MakeStandardWorkflow(nullptr, &manager, 1), std::logic_error);
}

}  // namespace
}  // namespace halcyne
