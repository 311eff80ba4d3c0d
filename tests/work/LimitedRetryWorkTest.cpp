#include <gtest/gtest.h>

#include "support/ManualWorkManager.hpp"
#include "support/ScriptedWork.hpp"
#include "work/LimitedRetryWork.hpp"
#include "work/StandardWorkflow.hpp"

namespace halcyne {
namespace {

using test::CompletionRecorder;
using test::DataMessage;
using test::MakeScriptedWork;
using test::ManualWorkManager;
using R = WorkResult;

struct RetryCounter : SimpleWorkRetryCallback {
    void OnSimpleWorkRetry(std::shared_ptr<SimpleWork>, const WorkStatus& status) override {
        EXPECT_TRUE(status.retry);
        ++count;
    }
    int count = 0;
};

TEST(LimitedRetryWorkTest, SimpleWorkRetriesWithinItsBudgetAndGetsAFreshOneWhenQueuedAgain) {
    struct Case {
        std::uint32_t maxRetries;
        int executionsPerRun;
    };
    for (const Case c : {Case{0, 1}, Case{2, 3}}) {
        SCOPED_TRACE(c.maxRetries);
        ManualWorkManager manager;
        auto work = MakeScriptedWork({R::RetryableError}, c.maxRetries);
        RetryCounter retries;
        work->AddRetryCallback(&retries);
        auto workflow = MakeStandardWorkflow(work, &manager, 1);
        work->SetWorkflow(workflow);
        workflow->Start();
        manager.RunAll();
        EXPECT_EQ(work->Executions(), c.executionsPerRun);
        EXPECT_EQ(retries.count, c.executionsPerRun - 1);
        EXPECT_TRUE(workflow->IsWaitingRetry());
        EXPECT_EQ(work->Retries(), 0u);  // queued again, with a full budget
        workflow->Retry();
        manager.RunAll();
        EXPECT_EQ(work->Executions(), 2 * c.executionsPerRun);
    }
}

TEST(LimitedRetryWorkTest, SequenceRunsAgainAfterAFailureWhileItsBudgetLasts) {
    struct Case {
        std::uint32_t maxRetries;
        int passesBeforeWaiting;
    };
    for (const Case c : {Case{0, 1}, Case{2, 3}}) {
        SCOPED_TRACE(c.maxRetries);
        ManualWorkManager manager;
        CompletionRecorder recorder;
        auto sequence = std::make_shared<LimitedRetrySequentialWork>(&recorder, c.maxRetries);
        auto first = MakeScriptedWork({R::Success}, 0, "first");
        auto last = MakeScriptedWork({R::Failure}, 0, "last");
        sequence->AddChild(first);
        sequence->AddChild(last);
        auto workflow = MakeStandardWorkflow(sequence, &manager, 1);
        sequence->SetWorkflow(workflow);
        workflow->Start();
        manager.RunAll();
        EXPECT_EQ(first->Executions(), c.passesBeforeWaiting);
        EXPECT_EQ(last->Executions(), c.passesBeforeWaiting);
        ASSERT_EQ(recorder.Count(), 1u);
        EXPECT_EQ(recorder.Statuses().back().result, R::RetryableError);
        EXPECT_FALSE(recorder.Statuses().back().retry);
        EXPECT_EQ(DataMessage(recorder.Statuses().back()), "last");
        EXPECT_TRUE(workflow->IsWaitingRetry());
        EXPECT_EQ(manager.Pending(), 0u);  // the first child waits in the workflow for Retry

        // The budget is not restored by the restart: the next failure waits again at once.
        workflow->Retry();
        manager.RunAll();
        EXPECT_EQ(last->Executions(), c.passesBeforeWaiting + 1);
        EXPECT_EQ(recorder.Count(), 2u);
        EXPECT_TRUE(workflow->IsWaitingRetry());

        sequence->Reset();  // only the parent's reset restores it
        EXPECT_EQ(sequence->Retries(), 0u);
    }
}

TEST(LimitedRetryWorkTest, SequenceEndsAtOnceOnAChildError) {
    ManualWorkManager manager;
    CompletionRecorder recorder;
    auto sequence = std::make_shared<LimitedRetrySequentialWork>(&recorder, 5);
    auto failing = MakeScriptedWork({R::Error}, 0, "failing");
    sequence->AddChild(failing);
    auto workflow = MakeStandardWorkflow(sequence, &manager, 1);
    sequence->SetWorkflow(workflow);
    workflow->Start();
    manager.RunAll();
    EXPECT_EQ(failing->Executions(), 1);
    ASSERT_EQ(recorder.Count(), 1u);
    EXPECT_EQ(recorder.Statuses().front().result, R::Error);
    EXPECT_EQ(DataMessage(recorder.Statuses().front()), "failing");
    EXPECT_TRUE(workflow->IsFinished());
}

}  // namespace
}  // namespace halcyne
