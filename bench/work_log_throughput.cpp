// Work log lines per second: 8 threads submit entries (each a transfer event tree) to a JsonWorkLogManager
// at log level -1, timed from the first submission until destruction has written the last line; against 8
// threads writing the same lines with write(2) to one O_APPEND file. The log lives under a scratch folder.
//   work_log_throughput [--lines N]
// Target: at least 50,000 lines per second.
#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "events/JsonText.hpp"
#include "events/JsonWorkLogManager.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "support/TestSupport.hpp"

namespace {

using namespace halcyne;
constexpr int Threads = 8;

// As a transfer event fills its entry: the name, then the params' description as a child.
void FillEvent(boost::property_tree::ptree& tree, int thread, int i) {
    tree.put("event", std::string("Start"));
    boost::property_tree::ptree params;
    params.put("transferId", std::string("0123456789abcdef0123456789abcdef"));
    params.put("partnerId", std::string("partner"));
    params.put("packageId", std::string("package"));
    params.put("versionId", std::to_string(thread) + "." + std::to_string(i));
    params.put("destPath", std::string("/home/user/Games/Some Game"));
    tree.add_child("params", params);
}

template <typename Body>
double Run(int perThread, Body body) {
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&body, t, perThread] {
            for (int i = 0; i < perThread; ++i) {
                body(t, i);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int lines = 400000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--lines") == 0) {
            lines = std::stoi(argv[i + 1]);
        }
    }
    const int perThread = lines / Threads;
    test::ScratchFolder scratch;
    const test::ScopedEnvironment tmpdir("TMPDIR", scratch.Path());
    PosixSharedFileFactory files;

    double logSeconds = 0;
    {
        auto log = std::make_unique<JsonWorkLogManager>(-1, "logs", &files);
        const auto start = std::chrono::steady_clock::now();
        Run(perThread, [&](int t, int i) {
            const auto entry = log->CreateEventWork(LogLevel::TransferEvent);
            FillEvent(entry->Tree(), t, i);
            log->Submit(entry);
        });
        log.reset();
        logSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    // The same lines, formatted beforehand, written by 8 threads with one write(2) each.
    std::vector<std::vector<std::string>> texts(Threads);
    for (int t = 0; t < Threads; ++t) {
        for (int i = 0; i < perThread; ++i) {
            boost::property_tree::ptree tree;
            FillEvent(tree, t, i);
            texts[t].push_back(LogManager::LineStamp(std::chrono::system_clock::now()) + WriteJsonText(tree));
        }
    }
    const std::string path = scratch / "plain.txt";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::atomic<bool> failed{false};
    const double writeSeconds = Run(perThread, [&](int t, int i) {
        const std::string& line = texts[t][i];
        if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            failed = true;
        }
    });
    ::close(fd);

    const double total = static_cast<double>(perThread) * Threads;
    std::cout << "lines: " << static_cast<long>(total) << " from " << Threads << " threads\n"
              << "work log (level -1): " << logSeconds << " s, " << static_cast<long>(total / logSeconds)
              << " lines/s\n"
              << "write(2) of the same lines: " << writeSeconds << " s, "
              << static_cast<long>(total / writeSeconds) << " lines/s"
              << (failed ? " (some writes failed)" : "") << "\n";
    return 0;
}
