// The node-selection simulator: replays the chunk requests of a download against simulated content nodes
// (each with a capacity shared by its concurrent requests, a latency, a failure rate, or dead) through the
// real optimizer and statistics, and reports the throughput achieved next to an oracle that knows every
// node's true behaviour and to uniform random choice. Time is simulated, so a run takes a moment.
//
//   node_selection_simulator [--chunks N] [--workers W] [--seeds S]
//
// Columns: throughput (mean, min and max over the seeds, and the mean against the oracle's), failed
// attempts per run and the worker-seconds they took, the requests in transfer at the busiest node averaged
// over time (how much the strategy piles onto one node), and each node's share of the bytes received.
//
// Each worker downloads one chunk at a time as the chunk request work does: the candidates persist over
// the chunk's attempts, the tried node leaves them (refilled when empty), every attempt is reported, and
// a failed attempt is retried at once.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "http/HttpRequestStatus.hpp"
#include "manifest/StandardNodeListManifest.hpp"
#include "manifest/XmlManifestReader.hpp"
#include "optimizer/HttpTransferStatusData.hpp"
#include "optimizer/NodeStatistics.hpp"
#include "optimizer/OptimizedRequestParams.hpp"
#include "optimizer/ProportionalGamblingTransferOptimizer.hpp"

using namespace halcyne;

namespace {

constexpr double MB = 1e6;
constexpr double Step = 0.001;  // seconds of simulated time per step

struct NodeModel {
    std::string name;
    double capacity;  // bytes per second, shared by the node's requests in transfer
    double latency;   // seconds before the first byte
    double failure;   // probability that a request breaks off part-way
    bool dead;        // never answers: every request times out while connecting
};

struct Mix {
    std::string name;
    std::vector<NodeModel> nodes;
};

struct Options {
    int chunks = 1024;
    std::uint64_t chunkSize = 1048576;
    int workers = 12;
    int seeds = 5;
};

enum class Strategy { Optimizer, Oracle, Random };

const char* Name(Strategy strategy) {
    switch (strategy) {
        case Strategy::Optimizer:
            return "optimizer";
        case Strategy::Oracle:
            return "oracle";
        case Strategy::Random:
            return "random";
    }
    return "?";
}

struct Attempt {
    bool active = false;
    std::size_t node = 0;
    double start = 0;
    double firstByte = 0;  // start + latency
    double breakAt = -1;   // bytes after which a flaky request breaks off; negative: never
    double bytes = 0;      // received so far
    double slowFor = 0;    // seconds spent below the low-speed limit
    std::unique_ptr<OptimizedRequestParams> params;  // persists over the chunk's attempts
};

struct Result {
    double seconds = 0;
    int attempts = 0;
    int failures = 0;
    std::vector<double> bytesByNode;
    double busiest = 0;  // requests in transfer at the busiest node, averaged over time
    double lost = 0;     // worker-seconds spent in failed attempts
};

std::shared_ptr<NodeListManifest> MakeList(const Mix& mix) {
    std::string xml = "<ArrayOfNodeInfo>";
    for (std::size_t i = 0; i < mix.nodes.size(); ++i) {
        xml += "<NodeInfo NodeId='" + mix.nodes[i].name + "' Host='" + mix.nodes[i].name + ".example'/>";
    }
    xml += "</ArrayOfNodeInfo>";
    boost::property_tree::ptree tree;
    ReadManifestXml(xml, tree);
    auto list = std::make_shared<StandardNodeListManifest>();
    list->Load(tree);
    return list;
}

std::size_t IndexOf(const NodeListManifest& list, const std::shared_ptr<NodeManifest>& node) {
    const auto& nodes = list.GetNodes();
    return static_cast<std::size_t>(std::find(nodes.begin(), nodes.end(), node) - nodes.begin());
}

Result Simulate(const Mix& mix, Strategy strategy, const Options& options, std::uint32_t seed) {
    EngineSettings settings;
    settings.workerThreads = options.workers;
    ProportionalGamblingTransferOptimizer optimizer(settings, seed);
    const auto list = MakeList(mix);
    const std::size_t n = mix.nodes.size();
    std::mt19937 random(seed * 7919u + 1);
    std::uniform_real_distribution<double> unit(0.0, 1.0);

    std::vector<Attempt> workers(static_cast<std::size_t>(options.workers));
    std::vector<int> transferring(n, 0);
    Result result;
    result.bytesByNode.assign(n, 0.0);
    int nextChunk = 0;
    int doneChunks = 0;
    double now = 0;

    auto startAttempt = [&](Attempt& attempt) {
        OptimizedRequestParams& params = *attempt.params;
        if (strategy == Strategy::Optimizer) {
            optimizer.GetNode(params);
        } else {
            std::size_t chosen = 0;
            if (strategy == Strategy::Random) {
                std::uniform_int_distribution<std::size_t> pick(0, params.candidates.size() - 1);
                params.SelectedNode = params.candidates[pick(random)];
                chosen = IndexOf(*list, params.SelectedNode);
            } else {
                // The node that would finish this chunk soonest, knowing every node's true behaviour.
                double best = std::numeric_limits<double>::infinity();
                for (std::size_t i = 0; i < n; ++i) {
                    const NodeModel& model = mix.nodes[i];
                    if (model.dead) {
                        continue;
                    }
                    const double seconds = model.latency + static_cast<double>(options.chunkSize) /
                                                               (model.capacity / (transferring[i] + 1));
                    const double expected = seconds / (1.0 - model.failure);
                    if (expected < best) {
                        best = expected;
                        chosen = i;
                    }
                }
                params.SelectedNode = list->GetNodes()[chosen];
            }
            params.connectTimeout = settings.minConnectTimeout;
            params.timeout = ChunkRequestTimeout(options.chunkSize, settings.workerThreads, settings.minSpeed,
                                                 settings.minRequestTimeout);
            params.lowSpeedLimit = settings.minSpeed / settings.workerThreads;
            params.lowSpeedTime = settings.minLowSpeedTime;
            params.probeRequest = false;
        }
        attempt.node = IndexOf(*list, params.SelectedNode);
        const NodeModel& model = mix.nodes[attempt.node];
        attempt.active = true;
        attempt.start = now;
        attempt.firstByte = now + model.latency;
        attempt.bytes = 0;
        attempt.slowFor = 0;
        attempt.breakAt =
            unit(random) < model.failure ? unit(random) * static_cast<double>(options.chunkSize) : -1.0;
        ++transferring[attempt.node];
        ++result.attempts;
    };

    auto finishAttempt = [&](Attempt& attempt, HttpRequestResult outcome) {
        OptimizedRequestParams& params = *attempt.params;
        --transferring[attempt.node];
        attempt.active = false;
        const auto ms = static_cast<std::int32_t>(std::lround((now - attempt.start) * 1000.0));
        HttpRequestStatus status;
        status.result = outcome;
        status.bytesWritten = static_cast<std::uint64_t>(attempt.bytes);
        const auto data =
            std::make_shared<HttpTransferStatusData>(params.SelectedNode->GetHost(), status, ms);
        const bool failed = outcome != HttpRequestResult::Success;
        params.SelectedNode->GetStatistics()->Update(status.bytesWritten, static_cast<std::uint32_t>(ms),
                                                     failed);
        if (strategy == Strategy::Optimizer) {
            optimizer.ReportResult(params, data);
        }
        params.RemoveSelectedNode();
        result.bytesByNode[attempt.node] += attempt.bytes;
        if (failed) {
            ++result.failures;
            result.lost += now - attempt.start;
            startAttempt(attempt);
            return;
        }
        ++doneChunks;
        attempt.params.reset();
    };

    auto takeChunk = [&](Attempt& attempt) {
        if (nextChunk >= options.chunks) {
            return;
        }
        ++nextChunk;
        attempt.params = std::make_unique<OptimizedRequestParams>(
            list, TransferParams(), RequestedChunk{"", 0, options.chunkSize - 1});
        startAttempt(attempt);
    };

    for (auto& worker : workers) {
        takeChunk(worker);
    }
    double busiestSum = 0;
    long steps = 0;
    while (doneChunks < options.chunks) {
        now += Step;
        // Requests in transfer share their node's capacity; the counts are taken before anyone moves.
        const std::vector<int> sharing = transferring;
        busiestSum += *std::max_element(sharing.begin(), sharing.end());
        ++steps;
        for (auto& attempt : workers) {
            if (!attempt.active) {
                takeChunk(attempt);
                continue;
            }
            const NodeModel& model = mix.nodes[attempt.node];
            const OptimizedRequestParams& params = *attempt.params;
            const double elapsed = now - attempt.start;
            if (model.dead) {
                if (elapsed >= params.connectTimeout) {
                    finishAttempt(attempt, HttpRequestResult::TimedOut);
                }
                continue;
            }
            if (now < attempt.firstByte) {
                continue;
            }
            const double rate = model.capacity / std::max(sharing[attempt.node], 1);
            attempt.bytes = std::min(attempt.bytes + rate * Step, static_cast<double>(options.chunkSize));
            attempt.slowFor = rate < params.lowSpeedLimit ? attempt.slowFor + Step : 0.0;
            if (attempt.breakAt >= 0 && attempt.bytes >= attempt.breakAt) {
                attempt.bytes = attempt.breakAt;
                finishAttempt(attempt, HttpRequestResult::TransmissionFailed);
            } else if (attempt.bytes >= static_cast<double>(options.chunkSize)) {
                finishAttempt(attempt, HttpRequestResult::Success);
            } else if (elapsed >= params.timeout || attempt.slowFor >= params.lowSpeedTime) {
                finishAttempt(attempt, HttpRequestResult::TimedOut);
            }
        }
    }
    result.seconds = now;
    result.busiest = steps > 0 ? busiestSum / steps : 0;
    return result;
}

std::vector<Mix> Mixes() {
    return {
        {"fast + 2 slow",
         {{"fast", 80 * MB, 0.02, 0, false},
          {"slow1", 10 * MB, 0.05, 0, false},
          {"slow2", 10 * MB, 0.05, 0, false}}},
        {"fast, slow, flaky, dead",
         {{"fast", 60 * MB, 0.02, 0, false},
          {"slow", 8 * MB, 0.08, 0, false},
          {"flaky", 40 * MB, 0.03, 0.3, false},
          {"dead", 0, 0, 0, true}}},
        {"3 equal",
         {{"a", 30 * MB, 0.03, 0, false}, {"b", 30 * MB, 0.03, 0, false}, {"c", 30 * MB, 0.03, 0, false}}},
        {"fast + dead", {{"fast", 50 * MB, 0.02, 0, false}, {"dead", 0, 0, 0, true}}},
        {"10 mixed",
         {{"n1", 100 * MB, 0.02, 0, false},
          {"n2", 60 * MB, 0.03, 0, false},
          {"n3", 40 * MB, 0.05, 0, false},
          {"n4", 20 * MB, 0.05, 0, false},
          {"n5", 10 * MB, 0.1, 0, false},
          {"n6", 5 * MB, 0.2, 0, false},
          {"n7", 50 * MB, 0.03, 0.5, false},
          {"n8", 30 * MB, 0.04, 0.1, false},
          {"d1", 0, 0, 0, true},
          {"d2", 0, 0, 0, true}}},
    };
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (flag == "--chunks") {
            options.chunks = value;
        } else if (flag == "--workers") {
            options.workers = value;
        } else if (flag == "--seeds") {
            options.seeds = value;
        } else {
            std::fprintf(stderr, "usage: %s [--chunks N] [--workers W] [--seeds S]\n", argv[0]);
            return 2;
        }
    }
    if (options.chunks < 1 || options.workers < 1 || options.seeds < 1) {
        std::fprintf(stderr, "chunks, workers and seeds must be positive\n");
        return 2;
    }
    std::printf("%d chunks of %llu bytes, %d workers, %d seeds; MB = 10^6 bytes\n\n", options.chunks,
                static_cast<unsigned long long>(options.chunkSize), options.workers, options.seeds);
    std::printf(
        "| mix | capacity MB/s | strategy | MB/s mean | min | max | vs oracle | failed attempts | lost "
        "worker-s | busiest node | share of bytes |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Mix& mix : Mixes()) {
        double capacity = 0;
        for (const auto& node : mix.nodes) {
            capacity += node.dead ? 0 : node.capacity * (1 - node.failure);
        }
        double oracleMean = 0;
        for (const Strategy strategy : {Strategy::Oracle, Strategy::Optimizer, Strategy::Random}) {
            double sum = 0, lowest = 1e300, highest = 0;
            int failures = 0;
            double busiest = 0;
            double lost = 0;
            std::vector<double> bytes(mix.nodes.size(), 0.0);
            for (int seed = 1; seed <= options.seeds; ++seed) {
                const Result result = Simulate(mix, strategy, options, static_cast<std::uint32_t>(seed));
                const double speed =
                    static_cast<double>(options.chunks) * options.chunkSize / result.seconds / MB;
                sum += speed;
                lowest = std::min(lowest, speed);
                highest = std::max(highest, speed);
                failures += result.failures;
                busiest += result.busiest;
                lost += result.lost;
                for (std::size_t i = 0; i < bytes.size(); ++i) {
                    bytes[i] += result.bytesByNode[i];
                }
            }
            const double mean = sum / options.seeds;
            if (strategy == Strategy::Oracle) {
                oracleMean = mean;
            }
            double total = 0;
            for (const double b : bytes) {
                total += b;
            }
            std::string shares;
            for (std::size_t i = 0; i < bytes.size(); ++i) {
                char share[64];
                std::snprintf(share, sizeof share, "%s%s %.0f%%", i == 0 ? "" : ", ",
                              mix.nodes[i].name.c_str(), total > 0 ? 100.0 * bytes[i] / total : 0.0);
                shares += share;
            }
            std::printf("| %s | %.0f | %s | %.1f | %.1f | %.1f | %.0f%% | %.1f | %.1f | %.1f | %s |\n",
                        mix.name.c_str(), capacity / MB, Name(strategy), mean, lowest, highest,
                        100.0 * mean / oracleMean, static_cast<double>(failures) / options.seeds,
                        lost / options.seeds, busiest / options.seeds, shares.c_str());
        }
    }
    return 0;
}
