#include <algorithm>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "support/ManualWorkManager.hpp"
#include "support/ScriptedWork.hpp"
#include "work/CompositeWork.hpp"
#include "work/StandardWorkflow.hpp"

namespace halcyne {
namespace {

using test::CompletionRecorder;
using test::DataMessage;
using test::MakeScriptedWork;
using test::ManualWorkManager;
using test::ScriptedWork;
using R = WorkResult;

// A tree under a real workflow on a manual work manager; the composite's own completions are recorded.
struct Tree {
    template <typename Composite>
    std::shared_ptr<Composite> Root(std::shared_ptr<Composite> composite) {
        composite->AddWorkCompleteCallback(&recorder);
        root = composite;
        return composite;
    }
    void Start(unsigned maxRunning = 1) {
        workflow = MakeStandardWorkflow(root, &manager, maxRunning);
        root->SetWorkflow(workflow);
        ASSERT_TRUE(workflow->Start());
    }
    // Names of the works sent to the work manager, in order.
    std::vector<std::string> Sent() const {
        std::vector<std::string> names;
        for (const auto& work : manager.History()) {
            auto scripted = std::dynamic_pointer_cast<ScriptedWork>(work);
            names.push_back(scripted ? scripted->Name() : "?");
        }
        return names;
    }

    ManualWorkManager manager;
    CompletionRecorder recorder;
    std::shared_ptr<Work> root;
    std::shared_ptr<StandardWorkflow> workflow;
};

TEST(CompositeWorkTest, SequenceRunsChildrenInOrderAndStopsAtTheFirstFinalFailure) {
    struct Case {
        const char* label;
        std::vector<R> results;  // of the three children
        std::vector<std::string> sent;
        R final;
        std::string data;  // kept only with an error
    };
    const Case cases[] = {
        {"all succeed", {R::Success, R::Success, R::Success}, {"a", "b", "c"}, R::Success, ""},
        {"failure stops", {R::Success, R::Failure, R::Success}, {"a", "b"}, R::Failure, ""},
        {"error stops with data", {R::Success, R::Error, R::Success}, {"a", "b"}, R::Error, "b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Tree tree;
        auto sequence = tree.Root(MakeSequentialWork());
        for (std::size_t i = 0; i < 3; ++i) {
            sequence->AddChild(MakeScriptedWork({c.results[i]}, 0, std::string(1, char('a' + i))));
        }
        tree.Start(3);
        EXPECT_EQ(tree.manager.Pending(), 1u);  // one at a time, whatever the limit
        tree.manager.RunAll();
        EXPECT_EQ(tree.Sent(), c.sent);
        ASSERT_EQ(tree.recorder.Count(), 1u);
        EXPECT_EQ(tree.recorder.Statuses().front().result, c.final);
        EXPECT_EQ(DataMessage(tree.recorder.Statuses().front()), c.data);
        EXPECT_TRUE(tree.workflow->IsFinished());
    }
}

TEST(CompositeWorkTest, ParallelSetCompletesWhenAllSucceedAndFailsAtOnceAsError) {
    Tree ok;
    auto set = ok.Root(MakeParallelWork());
    auto a = MakeScriptedWork({R::Success}, 0, "a");
    set->AddChild(a);
    set->AddChild(a);  // no effect
    set->AddChild(MakeScriptedWork({R::Success}, 0, "b"));
    set->AddChild(MakeScriptedWork({R::Success}, 0, "c"));
    ok.Start(3);
    EXPECT_EQ(ok.manager.Pending(), 3u);
    ok.manager.RunNext();
    ok.manager.RunNext();
    EXPECT_EQ(ok.recorder.Count(), 0u);
    ok.manager.RunNext();
    ASSERT_EQ(ok.recorder.Count(), 1u);
    EXPECT_EQ(ok.recorder.Statuses().front().result, R::Success);

    Tree failing;
    auto failingSet = failing.Root(MakeParallelWork());
    failingSet->AddChild(MakeScriptedWork({R::Success}, 0, "a"));
    failingSet->AddChild(MakeScriptedWork({R::Failure}, 0, "b"));
    failingSet->AddChild(MakeScriptedWork({R::Success}, 0, "c"));
    failing.Start(3);
    failing.manager.RunNext(1);  // b
    ASSERT_EQ(failing.recorder.Count(), 1u);
    EXPECT_EQ(failing.recorder.Statuses().front().result, R::Error);
    EXPECT_EQ(DataMessage(failing.recorder.Statuses().front()), "b");
    // Completions arriving afterwards are ignored.
    const auto remaining = failing.manager.PendingWorks();
    for (const auto& work : remaining) {
        work->NotifyComplete(WorkStatus(R::Success));
    }
    EXPECT_EQ(failing.recorder.Count(), 1u);
}

// A windowed set of scripted children named "0", "1", ...; records how many it made.
class ScriptedWindowed : public WindowedParallelWork {
public:
    ScriptedWindowed(std::vector<R> results, std::size_t window)
        : WindowedParallelWork(nullptr, results.size(), window), results_(std::move(results)) {}
    std::size_t made = 0;

protected:
    std::shared_ptr<Work> MakeChild(std::size_t index) override {
        ++made;
        return MakeScriptedWork({results_.at(index)}, 0, std::to_string(index));
    }

private:
    const std::vector<R> results_;
};

TEST(CompositeWorkTest, WindowedSetMakesChildrenAsTheyAreDueAndKeepsAtMostTheWindow) {
    struct Case {
        const char* label;
        std::vector<R> results;
        std::size_t window;
        R final;
        std::size_t made;  // children made by the end
    };
    const Case cases[] = {
        {"all succeed, window 2",
         {R::Success, R::Success, R::Success, R::Success, R::Success},
         2,
         R::Success,
         5},
        {"window above the count", {R::Success, R::Success}, 8, R::Success, 2},
        {"window 0 runs one at a time", {R::Success, R::Success, R::Success}, 0, R::Success, 3},
        {"a failure ends it as an error and nothing more is made",
         {R::Success, R::Failure, R::Success, R::Success, R::Success},
         2,
         R::Error,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Tree tree;
        auto set = tree.Root(std::make_shared<ScriptedWindowed>(c.results, c.window));
        const std::size_t window = std::max<std::size_t>(c.window, 1);
        EXPECT_EQ(set->made, 0u);  // nothing before the set is queued
        tree.Start(4);
        EXPECT_EQ(set->made, std::min(window, c.results.size()));
        std::vector<std::string> sent;
        while (tree.manager.Pending() > 0 && tree.recorder.Count() == 0) {
            EXPECT_LE(set->LiveChildren().size(), window);
            tree.manager.RunNext();  // the oldest first: children complete in index order
        }
        EXPECT_EQ(set->made, c.made);
        ASSERT_EQ(tree.recorder.Count(), 1u);
        EXPECT_EQ(tree.recorder.Statuses().front().result, c.final);
        if (c.final == R::Success) {
            EXPECT_TRUE(set->LiveChildren().empty());  // every child let go of
        }
    }
}

TEST(CompositeWorkTest, ConditionalRunsOnlyTheBranchItsConditionChooses) {
    struct Case {
        R condition;
        std::vector<std::string> sent;
        R final;
    };
    const Case cases[] = {
        {R::Success, {"condition", "onSuccess"}, R::Failure},
        {R::Failure, {"condition", "onFailure"}, R::Success},
        {R::Error, {"condition"}, R::Error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.condition));
        Tree tree;
        auto conditional = tree.Root(MakeConditionalWork());
        conditional->SetCondition(MakeScriptedWork({c.condition}, 0, "condition"));
        conditional->SetOnSuccess(MakeScriptedWork({R::Failure}, 0, "onSuccess"));
        conditional->SetOnFailure(MakeScriptedWork({R::Success}, 0, "onFailure"));
        conditional->SetOnFailure(MakeScriptedWork({R::Error}, 0, "ignored"));  // the slot is set once
        tree.Start();
        tree.manager.RunAll();
        EXPECT_EQ(tree.Sent(), c.sent);
        ASSERT_EQ(tree.recorder.Count(), 1u);
        EXPECT_EQ(tree.recorder.Statuses().front().result, c.final);
    }

    Tree incomplete;
    auto conditional = incomplete.Root(MakeConditionalWork());
    conditional->SetCondition(MakeScriptedWork({R::Success}));
    conditional->SetOnSuccess(MakeScriptedWork({R::Success}));
    incomplete.workflow = MakeStandardWorkflow(conditional, &incomplete.manager, 1);
    EXPECT_THROW(incomplete.workflow->Start(), std::logic_error);
}

TEST(CompositeWorkTest, DeferredWorkRunsWhatWasAssignedBeforeItWasReached) {
    // The assigning work sits before the deferred work in a sequence, as tree builders place it.
    struct Assigner : SimpleWork {
        WorkStatus ExecuteTask() override {
            assigned = target->Assign(payload);
            return WorkStatus(R::Success);
        }
        void Interrupt() override {}
        std::shared_ptr<DeferredWork> target;
        std::shared_ptr<Work> payload;
        bool assigned = false;
    };
    Tree tree;
    auto sequence = tree.Root(MakeSequentialWork());
    auto deferred = MakeDeferredWork();
    auto assigner = std::make_shared<Assigner>();
    assigner->target = deferred;
    auto payload = MakeSequentialWork();
    payload->AddChild(MakeScriptedWork({R::Success}, 0, "first"));
    payload->AddChild(MakeScriptedWork({R::Failure}, 0, "second"));
    assigner->payload = payload;
    sequence->AddChild(assigner);
    sequence->AddChild(deferred);
    tree.Start();
    tree.manager.RunAll();
    EXPECT_TRUE(assigner->assigned);
    EXPECT_EQ(tree.Sent(), (std::vector<std::string>{"?", "first", "second"}));
    ASSERT_EQ(tree.recorder.Count(), 1u);
    EXPECT_EQ(tree.recorder.Statuses().front().result, R::Failure);

    // Reached before anyone assigned it: it seals itself with a no-op and refuses a later assignment.
    Tree early;
    auto unassigned = early.Root(MakeDeferredWork());
    early.Start();
    early.manager.RunAll();
    ASSERT_EQ(early.recorder.Count(), 1u);
    EXPECT_EQ(early.recorder.Statuses().front().result, R::Success);
    EXPECT_FALSE(unassigned->Assign(MakeScriptedWork({R::Error})));

    auto reset = MakeDeferredWork();
    reset->Reset();
    EXPECT_FALSE(reset->Assign(MakeNoOpWork()));

    boost::property_tree::ptree description;
    reset->Describe(description);
    EXPECT_EQ(description.get<std::string>("name"), "DeferredWork");
}

TEST(CompositeWorkTest, UnexpectedChildCompletionIsAnError) {
    Tree tree;
    auto sequence = tree.Root(MakeSequentialWork());
    auto first = MakeScriptedWork({R::Success});
    auto second = MakeScriptedWork({R::Success});
    sequence->AddChild(first);
    sequence->AddChild(second);
    tree.Start();
    second->NotifyComplete(WorkStatus(R::Success));  // not the current child
    ASSERT_EQ(tree.recorder.Count(), 1u);
    EXPECT_EQ(tree.recorder.Statuses().front().result, R::Error);
    EXPECT_EQ(DataMessage(tree.recorder.Statuses().front()),
              "Invalid child progress for CompositeWork::OnWorkComplete");
    EXPECT_TRUE(tree.workflow->IsFinished());
}

TEST(CompositeWorkTest, InterruptedOrRetryableChildChangesNothing) {
    Tree tree;
    auto sequence = tree.Root(MakeSequentialWork());
    auto first = MakeScriptedWork({R::Interrupted, R::RetryableError, R::Success}, 0, "first");
    sequence->AddChild(first);
    sequence->AddChild(MakeScriptedWork({R::Success}, 0, "second"));
    tree.Start();
    tree.manager.RunAll();  // Interrupted: queued again; then RetryableError: the workflow waits
    EXPECT_EQ(tree.recorder.Count(), 0u);
    EXPECT_FALSE(sequence->IsComplete());
    EXPECT_TRUE(tree.workflow->Retry());
    tree.manager.RunAll();
    EXPECT_EQ(tree.Sent(), (std::vector<std::string>{"first", "first", "first", "second"}));
    ASSERT_EQ(tree.recorder.Count(), 1u);
    EXPECT_EQ(tree.recorder.Statuses().front().result, R::Success);
}

TEST(CompositeWorkTest, ChildrenAddedAfterTheWorkflowIsSetAreAttachedToIt) {
    struct Order : WorkCompleteCallback {
        explicit Order(std::vector<std::string>* log) : log(log) {}
        void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus&) override { log->push_back("observer"); }
        std::vector<std::string>* log;
    };
    ManualWorkManager manager;
    auto set = MakeParallelWork();
    auto workflow = MakeStandardWorkflow(set, &manager, 1);
    set->SetWorkflow(workflow);
    auto late = MakeScriptedWork({R::Success});
    set->AddChild(late);
    EXPECT_TRUE(late->IsWorkflowAttached());
    EXPECT_TRUE(late->IsParentAttached());
    workflow->Start();
    manager.RunAll();
    EXPECT_TRUE(workflow->IsFinished());  // the workflow saw the root complete through the late child
}

}  // namespace
}  // namespace halcyne
