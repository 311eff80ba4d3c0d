// Large random work trees run on a real pool while this thread pauses, resumes, retries and cancels their
// workflows at random. Every tree must end with the result its leaves imply (computed by a sequential model
// of the same tree) or be cancelled; no work may run twice at once, and no workflow may have more than
// maxRunning works out at once.
//
// Size: HALCYNE_STRESS_SCALE (default 16 under a sanitizer, about 10 s under TSan on two cores; 48 otherwise)
// multiplies the number of works and of random operations. HALCYNE_STRESS_SEED (default 1000) picks the
// trees: tree i is built from seed + i, which a failure reports.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

#include <gtest/gtest.h>

#include "work/AsioWorkManager.hpp"
#include "work/CompositeWork.hpp"
#include "work/LimitedRetryWork.hpp"
#include "work/StandardWorkflow.hpp"

namespace halcyne {
namespace {

using R = WorkResult;
using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int DefaultScale = 16;
#else
constexpr int DefaultScale = 48;
#endif

unsigned FirstSeed() {
    const char* text = std::getenv("HALCYNE_STRESS_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : 1000u;
}

int Scale() {
    const char* text = std::getenv("HALCYNE_STRESS_SCALE");
    const int scale = text != nullptr ? std::atoi(text) : DefaultScale;
    return std::max(scale, 1);
}

// Wraps the real work manager and checks, per work and per workflow, how many works are out at once: a
// work counts from Execute until its report reaches the workflow (OnTaskComplete).
class CheckingWorkManager : public WorkManager {
public:
    explicit CheckingWorkManager(WorkManager& inner) : inner_(inner) {}

    void Execute(std::shared_ptr<SimpleWork> work) override { inner_.Execute(std::move(work)); }

    void Execute(std::shared_ptr<Workflow> workflow, std::shared_ptr<SimpleWork> work) override {
        std::shared_ptr<Workflow> proxy;
        {
            std::lock_guard<std::mutex> lock(lock_);
            auto& entry = workflows_[workflow.get()];
            if (!entry.proxy) {
                entry.proxy = std::make_shared<Proxy>(this, workflow);
            }
            proxy = entry.proxy;
            if (++entry.out > entry.maxOut) {
                entry.maxOut = entry.out;
            }
            if (++out_[work.get()] > 1) {
                ++doubleRuns_;
            }
            ++total_;
        }
        inner_.Execute(std::move(proxy), std::move(work));
    }

    void SetLimit(Workflow* workflow, unsigned limit) {
        std::lock_guard<std::mutex> lock(lock_);
        workflows_[workflow].limit = limit;
    }
    int DoubleRuns() const {
        std::lock_guard<std::mutex> lock(lock_);
        return doubleRuns_;
    }
    // Workflows that had more works out than their limit.
    int OverLimit() const {
        std::lock_guard<std::mutex> lock(lock_);
        int over = 0;
        for (const auto& entry : workflows_) {
            over += entry.second.maxOut > entry.second.limit ? 1 : 0;
        }
        return over;
    }
    long Outstanding() const {
        std::lock_guard<std::mutex> lock(lock_);
        return total_;
    }
    void Forget() {
        std::lock_guard<std::mutex> lock(lock_);
        workflows_.clear();
    }

private:
    // Stands in for the workflow on the pool thread, to see the end of each work's report.
    class Proxy : public Workflow {
    public:
        Proxy(CheckingWorkManager* owner, std::shared_ptr<Workflow> real)
            : owner_(owner), real_(std::move(real)) {}
        void OnWorkComplete(std::shared_ptr<Work> w, const WorkStatus& s) override {
            real_->OnWorkComplete(w, s);
        }
        bool Start() override { return real_->Start(); }
        bool Pause() override { return real_->Pause(); }
        bool Resume() override { return real_->Resume(); }
        bool Retry() override { return real_->Retry(); }
        std::uint8_t GetState() override { return real_->GetState(); }
        bool IsStarted() override { return real_->IsStarted(); }
        bool IsPaused() override { return real_->IsPaused(); }
        bool IsWaitingRetry() override { return real_->IsWaitingRetry(); }
        bool IsFinished() override { return real_->IsFinished(); }
        bool Cancel(const WorkStatus& s) override { return real_->Cancel(s); }
        void AddRetryableErrorCallback(WorkflowRetryableErrorCallback* c) override {
            real_->AddRetryableErrorCallback(c);
        }
        void QueueWork(std::shared_ptr<Work> w) override { real_->QueueWork(std::move(w)); }
        void OnTaskComplete(std::shared_ptr<Work> w, const WorkStatus& s) override {
            // Linger now and then, so that other threads send ready works while this one is still out.
            if (owner_->lingers_.fetch_add(1) % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
            owner_->Returned(real_.get(), w.get());  // before the workflow may send the work again
            real_->OnTaskComplete(std::move(w), s);
        }

    private:
        CheckingWorkManager* owner_;
        std::shared_ptr<Workflow> real_;
    };

    void Returned(Workflow* workflow, Work* work) {
        std::lock_guard<std::mutex> lock(lock_);
        --workflows_[workflow].out;
        --out_[dynamic_cast<SimpleWork*>(work)];
        --total_;
    }

    struct WorkflowEntry {
        std::shared_ptr<Workflow> proxy;
        unsigned limit = 0;
        unsigned out = 0;
        unsigned maxOut = 0;
    };

    WorkManager& inner_;
    mutable std::mutex lock_;  // guards everything below
    std::unordered_map<Workflow*, WorkflowEntry> workflows_;
    std::unordered_map<SimpleWork*, int> out_;
    int doubleRuns_ = 0;
    long total_ = 0;
    std::atomic<unsigned> lingers_{0};
};

// A leaf that plays its script, one entry per execution of its task (the last entry repeats).
class StressLeaf : public LimitedRetrySimpleWork {
public:
    StressLeaf(std::vector<R> script, std::uint32_t maxRetries, std::atomic<int>* overlaps)
        : LimitedRetrySimpleWork(nullptr, maxRetries), script_(std::move(script)), overlaps_(overlaps) {}
    WorkStatus ExecuteTask() override {
        if (active_.fetch_add(1) != 0) {
            ++*overlaps_;
        }
        const std::size_t execution = cursor_.fetch_add(1);
        const R result = script_[std::min(execution, script_.size() - 1)];
        if (execution % 7 == 3) {
            std::this_thread::yield();
        }
        active_.fetch_sub(1);
        return WorkStatus(result,
                          result == R::Error || result == R::Failure ? MakeWorkErrorData("leaf") : nullptr);
    }
    void Interrupt() override {}

private:
    const std::vector<R> script_;
    std::atomic<int>* overlaps_;
    std::atomic<int> active_{0};
    std::atomic<std::size_t> cursor_{0};
};

// Assigns the payload to its deferred work each time it runs (only the first assignment can succeed).
class Assigner : public SimpleWork {
public:
    Assigner(std::shared_ptr<DeferredWork> target, std::shared_ptr<Work> payload)
        : target_(std::move(target)), payload_(std::move(payload)) {}
    WorkStatus ExecuteTask() override {
        target_->Assign(payload_);
        return WorkStatus(R::Success);
    }
    void Interrupt() override {}

private:
    std::shared_ptr<DeferredWork> target_;
    std::shared_ptr<Work> payload_;
};

// A windowed set over works built up front. Making a child takes no lock (it may run under the workflow's,
// when the set is queued by Start), so the works are reset with the set, as a parallel set resets its
// children, and handed out as they are.
class StressWindowed : public WindowedParallelWork {
public:
    StressWindowed(std::vector<std::shared_ptr<Work>> works, std::size_t window)
        : WindowedParallelWork(nullptr, works.size(), window), works_(std::move(works)) {}

    void Reset() override {
        std::lock_guard<std::recursive_mutex> lock(Lock());
        WindowedParallelWork::Reset();
        for (const std::shared_ptr<Work>& work : works_) {
            work->Reset();
        }
    }

protected:
    std::shared_ptr<Work> MakeChild(std::size_t index) override { return works_[index]; }

private:
    const std::vector<std::shared_ptr<Work>> works_;
};

enum class Kind { Leaf, Sequence, Parallel, Conditional, RetrySequence, Assigner, Deferred };

// The test's model of one node: the engine's work and what a sequential run of the tree would do.
struct Node {
    Kind kind = Kind::Leaf;
    std::shared_ptr<Work> work;
    std::vector<std::unique_ptr<Node>> children;  // conditional: condition, onSuccess, onFailure
    std::vector<R> finals;                        // leaf: its final results in order, the last repeating
    Node* deferred = nullptr;                     // assigner: the deferred node it fills
    // State of the sequential model.
    std::size_t used = 0;
    bool assigned = false;
    bool sealed = false;
};

class TreeBuilder {
public:
    TreeBuilder(unsigned seed, std::atomic<int>* overlaps) : random_(seed), overlaps_(overlaps) {}

    // underRetry: a retrying sequence is above, so no leaf may fail for good. restarts: a leaf's failure
    // would reach that sequence (through sequences, branches and deferred works only) and restart it.
    std::unique_ptr<Node> Build(int leaves, int depth, bool underRetry, bool restarts) {
        if (leaves <= 1 || depth >= 7) {
            return Leaf(underRetry, restarts, false);
        }
        const int pick = Uniform(0, 99);
        if (pick < 25) {
            return Group(Kind::Sequence, leaves, depth, underRetry, restarts);
        }
        if (pick < 55) {
            return Group(Kind::Parallel, leaves, depth, underRetry, false);
        }
        if (pick < 70) {
            return Group(Kind::RetrySequence, leaves, depth, true, true);
        }
        if (pick < 85 || leaves < 3) {
            return Conditional(leaves, depth, underRetry, restarts);
        }
        return DeferredPair(leaves, depth, underRetry, restarts);
    }

    // The leaf with this number (in order of creation) ends with Error.
    void PlantErrorAt(int leaf) { errorLeaf_ = leaf; }
    // The first leaf from this number on that no retrying sequence holds fails for good.
    void PlantFailureFrom(int leaf) { failureLeaf_ = leaf; }

    int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    int LeafCount() const { return leafCount_; }

private:
    std::unique_ptr<Node> Leaf(bool underRetry, bool restarts, bool condition) {
        auto node = std::make_unique<Node>();
        const int number = leafCount_++;
        if (number == errorLeaf_) {
            node->finals = {R::Error};
        } else if (number >= failureLeaf_ && !underRetry && !condition && !failurePlanted_) {
            node->finals = {R::Failure};
            failurePlanted_ = true;
        } else if (condition) {
            const int count = Uniform(1, 3);
            for (int i = 0; i < count; ++i) {
                node->finals.push_back(Uniform(0, 1) == 0 ? R::Success : R::Failure);
            }
        } else {
            if (restarts && Uniform(0, 99) < 30) {
                node->finals.assign(static_cast<std::size_t>(Uniform(1, 2)), R::Failure);
            }
            node->finals.push_back(!underRetry && Uniform(0, 3999) == 0 ? R::Failure : R::Success);
        }
        MakeLeafWork(*node);
        return node;
    }

    void MakeLeafWork(Node& node) {
        std::vector<R> script;
        for (R final : node.finals) {
            if (Uniform(0, 99) < 20) {
                script.insert(script.end(), static_cast<std::size_t>(Uniform(1, 3)), R::RetryableError);
            }
            if (Uniform(0, 99) < 5) {
                script.push_back(R::Interrupted);
            }
            script.push_back(final);
        }
        node.work = std::make_shared<StressLeaf>(std::move(script), static_cast<std::uint32_t>(Uniform(0, 2)),
                                                 overlaps_);
    }

    std::unique_ptr<Node> Group(Kind kind, int leaves, int depth, bool underRetry, bool restarts) {
        auto node = std::make_unique<Node>();
        node->kind = kind;
        const int most = std::min(leaves, kind == Kind::Parallel ? 24 : 6);
        const int count = Uniform(2, std::max(2, most));
        for (int share : Split(leaves, count)) {
            node->children.push_back(Build(share, depth + 1, underRetry, restarts));
        }
        Attach(*node);
        return node;
    }

    std::unique_ptr<Node> Conditional(int leaves, int depth, bool underRetry, bool restarts) {
        auto node = std::make_unique<Node>();
        node->kind = Kind::Conditional;
        const std::vector<int> shares = Split(leaves - 1, 2);
        node->children.push_back(Leaf(underRetry, false, true));
        node->children.push_back(Build(shares[0], depth + 1, underRetry, restarts));
        node->children.push_back(Build(shares[1], depth + 1, underRetry, restarts));
        Attach(*node);
        return node;
    }

    // A sequence of an assigner and the deferred work it fills, as tree builders place them.
    std::unique_ptr<Node> DeferredPair(int leaves, int depth, bool underRetry, bool restarts) {
        auto deferred = std::make_unique<Node>();
        deferred->kind = Kind::Deferred;
        deferred->children.push_back(Build(leaves - 1, depth + 1, underRetry, restarts));
        auto assigner = std::make_unique<Node>();
        assigner->kind = Kind::Assigner;
        assigner->deferred = deferred.get();
        auto pair = std::make_unique<Node>();
        pair->kind = Kind::Sequence;
        pair->children.push_back(std::move(assigner));
        pair->children.push_back(std::move(deferred));
        Attach(*pair->children[1]);
        Attach(*pair->children[0]);
        Attach(*pair);
        return pair;
    }

    // Makes the node's composite (or assigner) work over its children's works.
    void Attach(Node& node) {
        switch (node.kind) {
            case Kind::Leaf:
                break;
            case Kind::Sequence:
            case Kind::RetrySequence: {
                auto sequence = node.kind == Kind::Sequence
                                    ? MakeSequentialWork()
                                    : std::make_shared<LimitedRetrySequentialWork>(
                                          nullptr, static_cast<std::uint32_t>(Uniform(0, 2)));
                for (auto& child : node.children) {
                    sequence->AddChild(child->work);
                }
                node.work = sequence;
                break;
            }
            case Kind::Parallel: {
                if (Uniform(0, 1) == 0) {
                    std::vector<std::shared_ptr<Work>> works;
                    for (auto& child : node.children) {
                        works.push_back(child->work);
                    }
                    node.work = std::make_shared<StressWindowed>(std::move(works),
                                                                 static_cast<std::size_t>(Uniform(1, 4)));
                    break;
                }
                auto set = MakeParallelWork();
                set->Reserve(node.children.size());
                for (auto& child : node.children) {
                    set->AddChild(child->work);
                }
                node.work = set;
                break;
            }
            case Kind::Conditional: {
                auto conditional = MakeConditionalWork();
                conditional->SetCondition(node.children[0]->work);
                conditional->SetOnSuccess(node.children[1]->work);
                conditional->SetOnFailure(node.children[2]->work);
                node.work = conditional;
                break;
            }
            case Kind::Deferred:
                node.work = MakeDeferredWork();  // the payload is assigned while the tree runs
                break;
            case Kind::Assigner:
                node.work =
                    std::make_shared<Assigner>(std::static_pointer_cast<DeferredWork>(node.deferred->work),
                                               node.deferred->children[0]->work);
                break;
        }
    }

    std::vector<int> Split(int total, int parts) {
        std::vector<int> shares(static_cast<std::size_t>(parts), 1);
        for (int rest = total - parts; rest > 0; --rest) {
            ++shares[static_cast<std::size_t>(Uniform(0, parts - 1))];
        }
        return shares;
    }

    std::mt19937 random_;
    std::atomic<int>* overlaps_;
    int leafCount_ = 0;
    int errorLeaf_ = -1;
    int failureLeaf_ = std::numeric_limits<int>::max();
    bool failurePlanted_ = false;
};

// The sequential model: what the tree's root ends with, given the leaves' final results in order.
class Model {
public:
    R Run(Node& node) {
        switch (node.kind) {
            case Kind::Leaf:
                return node.finals[std::min(node.used++, node.finals.size() - 1)];
            case Kind::Assigner:
                if (!node.deferred->sealed) {
                    node.deferred->assigned = true;
                }
                return R::Success;
            case Kind::Sequence:
                for (auto& child : node.children) {
                    const R result = Run(*child);
                    if (result != R::Success) {
                        return result;
                    }
                }
                return R::Success;
            case Kind::Parallel:
                for (auto& child : node.children) {
                    if (Run(*child) != R::Success) {
                        return R::Error;  // a failure fails the set as an error; an error ends everything
                    }
                }
                return R::Success;
            case Kind::Conditional: {
                const R condition = Run(*node.children[0]);
                if (condition == R::Error) {
                    return R::Error;
                }
                return Run(*node.children[condition == R::Success ? 1 : 2]);
            }
            case Kind::RetrySequence:
                for (int pass = 0; pass < 100000; ++pass) {
                    R result = R::Success;
                    for (auto& child : node.children) {
                        result = Run(*child);
                        if (result != R::Success) {
                            break;
                        }
                    }
                    if (result != R::Failure) {
                        return result;
                    }
                    Reset(node);
                }
                ADD_FAILURE() << "a retrying sequence of the model never ends";
                return R::Error;
            case Kind::Deferred:
                if (!node.assigned) {
                    node.sealed = true;
                    return R::Success;
                }
                return Run(*node.children[0]);
        }
        return R::Error;
    }

private:
    // A restart resets every work below; an unassigned deferred work seals itself.
    void Reset(Node& node) {
        for (auto& child : node.children) {
            Reset(*child);
        }
        if (node.kind == Kind::Deferred && !node.assigned) {
            node.sealed = true;
        }
    }
};

struct RootRecorder : WorkCompleteCallback {
    void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus& status) override {
        std::lock_guard<std::mutex> lock(mutex);
        statuses.push_back(status);
    }
    std::mutex mutex;  // guards statuses
    std::vector<WorkStatus> statuses;
};

struct RetryCounter : WorkflowRetryableErrorCallback {
    void OnWorkflowRetryableError(std::shared_ptr<Workflow>, std::shared_ptr<Work>,
                                  const WorkStatus& status) override {
        ++count;
        if (status.result != R::RetryableError || status.retry) {
            ++wrong;
        }
    }
    std::atomic<int> count{0};
    std::atomic<int> wrong{0};
};

struct TreeRun {
    unsigned seed = 0;
    std::unique_ptr<Node> tree;
    R expected = R::Error;
    RootRecorder recorder;
    RetryCounter retries;
    std::shared_ptr<StandardWorkflow> workflow;
    unsigned maxRunning = 1;
    int cancelAt = -1;  // chaos step at which it is cancelled, or -1
    bool cancelled = false;
};

TEST(WorkflowStressTest, RandomTreesUnderRandomControlEndAsTheirLeavesImply) {
    const int scale = Scale();
    const int treeCount = 8;
    const int leavesPerTree = 400 * scale;
    const int chaosSteps = 3000 * scale;
    const std::shared_ptr<WorkStatusData> cancelMark = MakeWorkErrorData("cancelled by the test");

    std::atomic<int> overlaps{0};
    std::vector<std::unique_ptr<TreeRun>> runs;
    std::mt19937 control(FirstSeed());
    int leaves = 0;
    for (int i = 0; i < treeCount; ++i) {
        auto run = std::make_unique<TreeRun>();
        run->seed = FirstSeed() + static_cast<unsigned>(i);
        TreeBuilder builder(run->seed, &overlaps);
        if (i % 4 == 2) {
            builder.PlantErrorAt(builder.Uniform(0, leavesPerTree - 1));
        } else if (i % 4 == 3) {
            builder.PlantFailureFrom(builder.Uniform(0, leavesPerTree / 2));
        }
        run->tree = builder.Build(leavesPerTree, 0, false, false);
        leaves += builder.LeafCount();
        run->maxRunning = 1u << builder.Uniform(0, 3);
        if (i % 4 == 1) {
            run->cancelAt = builder.Uniform(0, chaosSteps / 8);
        }
        run->tree->work->AddWorkCompleteCallback(&run->recorder);
        runs.push_back(std::move(run));
    }
    for (auto& run : runs) {
        Model model;
        run->expected = model.Run(*run->tree);
    }

    auto pool = std::make_unique<AsioWorkManager>(8);
    CheckingWorkManager checker(*pool);
    for (auto& run : runs) {
        run->workflow = MakeStandardWorkflow(run->tree->work, &checker, run->maxRunning);
        checker.SetLimit(run->workflow.get(), run->maxRunning);
        run->tree->work->SetWorkflow(run->workflow);
        run->workflow->AddRetryableErrorCallback(&run->retries);
    }
    const auto begin = Clock::now();
    for (auto& run : runs) {
        ASSERT_TRUE(run->workflow->Start());
    }

    // Chaos: random operations on random workflows.
    const auto allFinished = [&] {
        return std::all_of(runs.begin(), runs.end(), [](auto& run) { return run->workflow->IsFinished(); });
    };
    int steps = 0;
    for (int step = 0; step < chaosSteps && (step % 64 != 0 || !allFinished()); ++step, ++steps) {
        for (auto& run : runs) {
            if (run->cancelAt == step) {
                run->cancelled = run->workflow->Cancel(WorkStatus(R::Error, cancelMark));
                EXPECT_FALSE(run->workflow->Cancel(WorkStatus(R::Error, cancelMark)));
            }
        }
        TreeRun& run = *runs[std::uniform_int_distribution<std::size_t>(0, runs.size() - 1)(control)];
        switch (std::uniform_int_distribution<int>(0, 3)(control)) {
            case 0:
                run.workflow->Pause();
                break;
            case 1:
                run.workflow->Resume();
                break;
            case 2:
                run.workflow->Retry();
                break;
            case 3:
                run.workflow->Start();
                break;
        }
        if (step % 8 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    // Then let every workflow run to its end.
    const auto deadline = Clock::now() + std::chrono::seconds(200);
    for (;;) {
        bool done = true;
        for (auto& run : runs) {
            if (!run->workflow->IsFinished()) {
                done = false;
                run->workflow->Resume();
                run->workflow->Retry();
            }
        }
        if (done && checker.Outstanding() == 0) {
            break;
        }
        if (Clock::now() > deadline) {
            for (auto& run : runs) {
                ADD_FAILURE() << "seed " << run->seed << " stuck in state " << int(run->workflow->GetState());
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();

    EXPECT_EQ(overlaps.load(), 0) << "a task ran twice at the same time";
    EXPECT_EQ(checker.DoubleRuns(), 0) << "a work was sent while its previous run was still out";
    EXPECT_EQ(checker.OverLimit(), 0) << "a workflow had more than maxRunning works out";
    int retryWaits = 0;
    for (auto& run : runs) {
        SCOPED_TRACE(::testing::Message() << "tree seed " << run->seed);
        std::lock_guard<std::mutex> lock(run->recorder.mutex);
        int cancellations = 0;
        std::vector<WorkStatus> natural;
        for (const WorkStatus& status : run->recorder.statuses) {
            if (status.data == cancelMark) {
                ++cancellations;
            } else if (status.result == R::RetryableError) {
                EXPECT_FALSE(status.retry);  // a retrying root reports each spent budget; not an end
            } else {
                natural.push_back(status);
            }
        }
        EXPECT_EQ(cancellations, run->cancelled ? 1 : 0);
        EXPECT_LE(natural.size(), 1u);
        if (!run->cancelled) {
            ASSERT_EQ(natural.size(), 1u);
            EXPECT_EQ(run->workflow->GetState(), std::uint8_t(WorkflowState::Finished));
        }
        for (const WorkStatus& status : natural) {
            EXPECT_EQ(status.result, run->expected);
            if (status.result != R::Error) {
                EXPECT_EQ(status.data, nullptr);  // a composite passes data on only with an error
            }
        }
        EXPECT_EQ(run->retries.wrong.load(), 0);
        retryWaits += run->retries.count.load();
    }
    std::printf("stress: %d trees, %d leaves, %d random operations, %d retry waits, %.2f s\n", treeCount,
                leaves, steps, retryWaits, seconds);
    pool.reset();
    checker.Forget();
}

}  // namespace
}  // namespace halcyne
