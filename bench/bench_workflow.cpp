// The dispatch path of the work engine: simple works through one StandardWorkflow on an AsioWorkManager
// (maxRunning 4, 8 pool threads), as a flat parallel set, as a long sequence whose works run one after the
// other, and as a deep nest of sequences; and the memory a queued work costs.
#include <condition_variable>
#include <memory>
#include <mutex>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include "work/AsioWorkManager.hpp"
#include "work/CompositeWork.hpp"
#include "work/SimpleWork.hpp"
#include "work/StandardWorkflow.hpp"

namespace {

using namespace halcyne;

constexpr unsigned PoolThreads = 8;
constexpr unsigned MaxRunning = 4;

AsioWorkManager& Pool() {
    static AsioWorkManager pool(PoolThreads);
    return pool;
}

// Lets the benchmark thread wait for the root's completion.
class Done : public WorkCompleteCallback {
public:
    void OnWorkComplete(std::shared_ptr<Work>, const WorkStatus&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        signal_.notify_one();
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        signal_.wait(lock, [this] { return done_; });
        done_ = false;
    }

private:
    std::mutex mutex_;  // guards done_
    std::condition_variable signal_;
    bool done_ = false;
};

template <typename Composite>
std::shared_ptr<Composite> MakeTree(std::size_t works, Done* done) {
    auto root = std::make_shared<Composite>(done);
    if constexpr (std::is_same_v<Composite, ParallelWork>) {
        root->Reserve(works);
    }
    for (std::size_t i = 0; i < works; ++i) {
        root->AddChild(MakeNoOpWork());
    }
    return root;
}

// A sequence of `works` no-op works nested `works` levels deep: each level runs its own work, then the
// next level; the completions climb all levels at the end.
std::shared_ptr<Work> MakeNestedSequence(std::size_t works, Done* done) {
    std::shared_ptr<SequentialWork> inner = MakeSequentialWork();
    inner->AddChild(MakeNoOpWork());
    for (std::size_t level = 1; level < works; ++level) {
        auto outer = std::make_shared<SequentialWork>(level + 1 == works ? done : nullptr);
        outer->AddChild(MakeNoOpWork());
        outer->AddChild(inner);
        inner = outer;
    }
    return inner;
}

template <typename Make>
void RunTree(benchmark::State& state, Make make) {
    const auto works = static_cast<std::size_t>(state.range(0));
    Done done;
    for (auto _ : state) {
        state.PauseTiming();
        std::shared_ptr<Work> root = make(works, &done);
        auto workflow = MakeStandardWorkflow(root, &Pool(), MaxRunning);
        root->SetWorkflow(workflow);
        state.ResumeTiming();
        workflow->Start();
        done.Wait();
        state.PauseTiming();
        workflow.reset();
        root.reset();  // released outside the timing
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void BM_FlatParallelSet(benchmark::State& state) {
    RunTree(state, MakeTree<ParallelWork>);
}
BENCHMARK(BM_FlatParallelSet)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// One work after the other: each completion queues and sends the next.
void BM_LongSequence(benchmark::State& state) {
    RunTree(state, MakeTree<SequentialWork>);
}
BENCHMARK(BM_LongSequence)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_NestedSequence(benchmark::State& state) {
    RunTree(state, MakeNestedSequence);
}
BENCHMARK(BM_NestedSequence)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A work manager that runs nothing, so that every work stays queued.
class IdleWorkManager : public WorkManager {
public:
    void Execute(std::shared_ptr<SimpleWork>) override {}
    void Execute(std::shared_ptr<Workflow>, std::shared_ptr<SimpleWork>) override {}
};

// Heap bytes per work of a flat parallel set of no-op works: built (the work, its place in the set), then
// queued in a started workflow (its place in the ready queue and the workflow's index).
void BM_QueuedWorkMemory(benchmark::State& state) {
    const auto works = static_cast<std::size_t>(state.range(0));
    IdleWorkManager idle;
    double built = 0;
    double queued = 0;
    for (auto _ : state) {
        malloc_trim(0);
        const std::size_t before = mallinfo2().uordblks;
        auto root = MakeTree<ParallelWork>(works, nullptr);
        const std::size_t afterBuild = mallinfo2().uordblks;
        auto workflow = MakeStandardWorkflow(root, &idle, MaxRunning);
        root->SetWorkflow(workflow);
        workflow->Start();
        const std::size_t afterQueue = mallinfo2().uordblks;
        built = double(afterBuild - before) / double(works);
        queued = double(afterQueue - afterBuild) / double(works);
        benchmark::DoNotOptimize(workflow);
    }
    state.counters["bytes_per_work_built"] = built;
    state.counters["bytes_per_work_queued"] = queued;
}
BENCHMARK(BM_QueuedWorkMemory)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
