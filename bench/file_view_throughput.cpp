// Measures the file layer's write path against plain system calls: a file written through 1 MiB memory-
// mapped views from several threads (with and without Fetch beforehand), then Process run over every view;
// the same bytes written with pwrite (and read back with pread); and the same bytes copied into fresh
// memory. Prints seconds, GB/s and page faults per phase (the median of the rounds) and the ratios.
//
//   file_view_throughput [--folder F] [--size-mib N] [--view-kib K] [--piece-kib P] [--threads T] [--rounds
//   R]
//                        [--phases mapped,mapped-nofetch,pwrite,memcpy]   (the phases of a round, in order;
//                         also mapped-serial: Fetch under one process-wide mutex, as the chunk works do)
//
// Every phase writes a new file (rounds x 3 files of the given size) in a private folder made under F
// (default: the current directory); all are flushed after their phase and removed at the end, on an error
// and on SIGINT or SIGTERM.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include "file/posix/PosixSharedFileFactory.hpp"

namespace {

using halcyne::MemoryMappedFileData;
using halcyne::PosixSharedFileFactory;
using halcyne::SharedFileMode;

// The scratch folder and how many files data-0.bin, data-1.bin, ... were made in it, kept in plain
// variables so that the signal handler can remove them.
char cleanupFolder[4000];
std::atomic<int> filesMade{0};

// "<folder>/data-<n>.bin" into `out`, without the C library's formatting (this runs in a signal handler).
void FileName(int n, char (&out)[4096]) {
    std::size_t at = 0;
    for (const char* c = cleanupFolder; *c != '\0'; ++c) {
        out[at++] = *c;
    }
    for (const char* c = "/data-"; *c != '\0'; ++c) {
        out[at++] = *c;
    }
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n > 0);
    while (count > 0) {
        out[at++] = digits[--count];
    }
    for (const char* c = ".bin"; *c != '\0'; ++c) {
        out[at++] = *c;
    }
    out[at] = '\0';
}

void RemoveScratch() {
    if (cleanupFolder[0] == '\0') {
        return;
    }
    char name[4096];
    for (int n = 0; n < filesMade; ++n) {
        FileName(n, name);
        ::unlink(name);
    }
    ::rmdir(cleanupFolder);
}

void OnSignal(int signal) {
    RemoveScratch();
    ::_exit(128 + signal);
}

struct Options {
    std::string folder = ".";
    std::uint64_t size = std::uint64_t{1} << 30;
    std::uint32_t view = 1u << 20;
    int threads = 4;
    int rounds = 3;
    std::uint32_t piece = 0;  // bytes per Write (and per pwrite) into a view; 0: the whole view at once
    std::vector<std::string> phases{"mapped", "mapped-nofetch", "pwrite", "memcpy"};
};

struct Sample {
    double seconds = 0;
    long minorFaults = 0;
    long majorFaults = 0;
};

struct Faults {
    long minor;
    long major;
};

Faults CurrentFaults() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return {usage.ru_minflt, usage.ru_majflt};
}

// Runs body(view index, thread index) for every view, spread over the threads, and measures it.
Sample Measure(const Options& options, const std::function<void(std::uint64_t, int)>& body) {
    const std::uint64_t views = (options.size + options.view - 1) / options.view;
    const Faults before = CurrentFaults();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < options.threads; ++t) {
        workers.emplace_back([&, t] {
            for (std::uint64_t i = static_cast<std::uint64_t>(t); i < views; i += options.threads) {
                body(i, t);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    const auto end = std::chrono::steady_clock::now();
    const Faults after = CurrentFaults();
    return {std::chrono::duration<double>(end - start).count(), after.minor - before.minor,
            after.major - before.major};
}

std::uint64_t Sum(const std::uint8_t* data, std::uint32_t length) {
    std::uint64_t sum = 0;
    std::uint32_t k = 0;
    for (; k + 8 <= length; k += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + k, 8);
        sum += word;
    }
    for (; k < length; ++k) {
        sum += data[k];
    }
    return sum;
}

void Flush(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::fdatasync(fd);
        ::close(fd);
    }
}

class Benchmark {
public:
    explicit Benchmark(Options options) : options_(std::move(options)) {
        std::string pattern = options_.folder + "/halcyne-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a folder under " + options_.folder + ": " +
                                     std::strerror(errno));
        }
        folder_ = pattern;
        if (folder_.size() >= sizeof cleanupFolder) {
            throw std::runtime_error("the folder's path is too long");
        }
        std::snprintf(cleanupFolder, sizeof cleanupFolder, "%s", folder_.c_str());
        for (int t = 0; t < options_.threads; ++t) {
            sources_.emplace_back(options_.view);
            for (std::uint32_t k = 0; k < options_.view; ++k) {
                sources_.back()[k] =
                    static_cast<std::uint8_t>((k * 31 + static_cast<std::uint32_t>(t) * 7) & 0xff);
            }
        }
    }
    ~Benchmark() { RemoveScratch(); }

    void Round() {
        for (const std::string& phase : options_.phases) {
            // Settle the file system first: the journal commit runs any pending discards (of files removed
            // before the run) and writeback, which would otherwise land in the timed phase.
            ::sync();
            if (phase == "mapped") {
                Mapped("mapped, Fetch first", Prefetch::Parallel);
            } else if (phase == "mapped-nofetch") {
                Mapped("mapped, no Fetch", Prefetch::None);
            } else if (phase == "mapped-serial") {
                Mapped("mapped, Fetch under one mutex", Prefetch::Serial);
            } else if (phase == "pwrite") {
                Pwrite();
            } else if (phase == "memcpy") {
                Memcpy();
            } else {
                throw std::runtime_error("unknown phase " + phase);
            }
        }
    }

    void Report() const {
        const double gb = static_cast<double>(options_.size) / 1e9;
        std::printf(
            "%llu MiB through %u KiB views from %d threads, written %s, median of %d rounds\n",
            static_cast<unsigned long long>(options_.size >> 20), options_.view >> 10, options_.threads,
            options_.piece == 0 ? "a view at a time"
                                : ("in " + std::to_string(options_.piece >> 10) + " KiB pieces").c_str(),
            options_.rounds);
        std::printf("%-42s %9s %8s %13s %13s\n", "phase", "seconds", "GB/s", "minor faults", "major faults");
        for (const auto& name : order_) {
            const Sample s = Median(name);
            std::printf("%-42s %9.3f %8.2f %13ld %13ld\n", name.c_str(), s.seconds, gb / s.seconds,
                        s.minorFaults, s.majorFaults);
        }
        const auto ratio = [&](const char* a, const char* b) {
            if (samples_.count(a) == 0 || samples_.count(b) == 0) {
                return;
            }
            std::printf("%-62s %6.2f\n", (std::string(a) + " / " + b).c_str(),
                        Median(a).seconds / Median(b).seconds);
        };
        std::printf("time ratios:\n");
        ratio("mapped, Fetch first: write", "pwrite: write");
        ratio("mapped, Fetch under one mutex: write", "pwrite: write");
        ratio("mapped, no Fetch: write", "pwrite: write");
        ratio("mapped, Fetch first: write", "memcpy: write");
        ratio("pwrite: write", "memcpy: write");
        ratio("mapped, Fetch first: process", "pwrite: pread and process");
        ratio("mapped, Fetch first: process", "memcpy: process");
    }

private:
    void Record(const std::string& name, const Sample& sample) {
        if (samples_.find(name) == samples_.end()) {
            order_.push_back(name);
        }
        samples_[name].push_back(sample);
    }

    Sample Median(const std::string& name) const {
        std::vector<Sample> all = samples_.at(name);
        std::sort(all.begin(), all.end(),
                  [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
        return all[all.size() / 2];
    }

    // A new file for every phase; all are removed at the end. Removing a file between the phases would let
    // the file system's discard of its blocks fall into the next phase's time.
    std::string NextFile() {
        char name[4096];
        FileName(filesMade, name);
        ++filesMade;
        return name;
    }

    std::uint32_t ViewLength(std::uint64_t i) const {
        return static_cast<std::uint32_t>(
            std::min<std::uint64_t>(options_.view, options_.size - i * options_.view));
    }

    enum class Prefetch { None, Parallel, Serial };

    // Serial: every Fetch under one process-wide mutex, as the chunk works pre-fault their views.
    void Mapped(const std::string& label, Prefetch prefetch) {
        PosixSharedFileFactory factory;
        const std::string path = NextFile();
        auto file = factory.Create(folder_, path.substr(folder_.size()), SharedFileMode::CreateNew, 0,
                                   options_.size - 1);
        const auto allocateStart = std::chrono::steady_clock::now();
        if (!file->Allocate(options_.size)) {
            throw std::runtime_error("the benchmark file was not empty");
        }
        Record(
            label + ": allocate",
            {std::chrono::duration<double>(std::chrono::steady_clock::now() - allocateStart).count(), 0, 0});
        const std::uint64_t views = (options_.size + options_.view - 1) / options_.view;
        std::vector<std::shared_ptr<MemoryMappedFileData>> mapped(views);
        Record(label + ": write", Measure(options_, [&](std::uint64_t i, int t) {
                   const std::uint64_t lower = i * options_.view;
                   auto view = file->Map(lower, lower + ViewLength(i) - 1);
                   if (prefetch == Prefetch::Serial) {
                       const std::lock_guard lock(prefetchMutex_);
                       view->Fetch();
                   } else if (prefetch == Prefetch::Parallel) {
                       view->Fetch();
                   }
                   // In pieces, as the HTTP writer copies each received block, or all at once.
                   const std::uint32_t length = ViewLength(i);
                   const std::uint32_t piece = options_.piece == 0 ? length : options_.piece;
                   for (std::uint32_t at = 0; at < length; at += piece) {
                       view->Write(sources_[t].data() + at, std::min(piece, length - at));
                   }
                   mapped[i] = std::move(view);
               }));
        std::atomic<std::uint64_t> total{0};
        Record(label + ": process", Measure(options_, [&](std::uint64_t i, int) {
                   std::uint64_t sum = 0;
                   mapped[i]->Process(
                       [&sum](const std::uint8_t* data, std::uint32_t length) { sum = Sum(data, length); });
                   total += sum;
                   mapped[i].reset();
               }));
        Check(total);
        file.reset();
        Flush(path);
    }

    void Pwrite() {
        const int fd = ::open(NextFile().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || ::fallocate(fd, 0, 0, static_cast<off_t>(options_.size)) != 0) {
            throw std::runtime_error(std::string("cannot make the pwrite file: ") + std::strerror(errno));
        }
        Record("pwrite: write", Measure(options_, [&](std::uint64_t i, int t) {
                   const auto offset = static_cast<off_t>(i * options_.view);
                   const std::uint32_t length = ViewLength(i);
                   const std::uint32_t piece = options_.piece == 0 ? length : options_.piece;
                   for (std::uint32_t at = 0; at < length; at += piece) {
                       const std::uint32_t n = std::min(piece, length - at);
                       if (::pwrite(fd, sources_[t].data() + at, n, offset + at) != static_cast<ssize_t>(n)) {
                           std::abort();
                       }
                   }
               }));
        std::vector<std::vector<std::uint8_t>> buffers(options_.threads,
                                                       std::vector<std::uint8_t>(options_.view));
        std::atomic<std::uint64_t> total{0};
        Record("pwrite: pread and process", Measure(options_, [&](std::uint64_t i, int t) {
                   const auto offset = static_cast<off_t>(i * options_.view);
                   if (::pread(fd, buffers[t].data(), ViewLength(i), offset) !=
                       static_cast<ssize_t>(ViewLength(i))) {
                       std::abort();
                   }
                   total += Sum(buffers[t].data(), ViewLength(i));
               }));
        Check(total);
        ::fdatasync(fd);
        ::close(fd);
    }

    void Memcpy() {
        // Fresh memory each round, so that its page faults count as the mapped file's do.
        std::unique_ptr<std::uint8_t[]> memory(new std::uint8_t[options_.size]);
        Record("memcpy: write", Measure(options_, [&](std::uint64_t i, int t) {
                   std::memcpy(memory.get() + i * options_.view, sources_[t].data(), ViewLength(i));
               }));
        std::atomic<std::uint64_t> total{0};
        Record("memcpy: process", Measure(options_, [&](std::uint64_t i, int) {
                   total += Sum(memory.get() + i * options_.view, ViewLength(i));
               }));
        Check(total);
    }

    // Every path must see the same bytes: the sums agree.
    void Check(std::uint64_t total) {
        if (expected_ == 0) {
            expected_ = total;
        } else if (total != expected_) {
            throw std::runtime_error("the phases disagree about the data");
        }
    }

    Options options_;
    std::string folder_;
    std::vector<std::vector<std::uint8_t>> sources_;
    std::map<std::string, std::vector<Sample>> samples_;
    std::vector<std::string> order_;
    std::uint64_t expected_ = 0;
    std::mutex prefetchMutex_;
};

Options Parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (i + 1 >= argc) {
            throw std::runtime_error("missing value after " + argument);
        }
        const std::string value = argv[++i];
        if (argument == "--folder") {
            options.folder = value;
        } else if (argument == "--size-mib") {
            options.size = std::stoull(value) << 20;
        } else if (argument == "--view-kib") {
            options.view = static_cast<std::uint32_t>(std::stoul(value) << 10);
        } else if (argument == "--piece-kib") {
            options.piece = static_cast<std::uint32_t>(std::stoul(value) << 10);
        } else if (argument == "--threads") {
            options.threads = std::max(1, std::stoi(value));
        } else if (argument == "--phases") {
            options.phases.clear();
            for (std::size_t start = 0; start <= value.size();) {
                const std::size_t comma = std::min(value.find(',', start), value.size());
                options.phases.push_back(value.substr(start, comma - start));
                start = comma + 1;
            }
        } else if (argument == "--rounds") {
            options.rounds = std::max(1, std::stoi(value));
        } else {
            throw std::runtime_error("unknown option " + argument);
        }
    }
    if (options.size == 0 || options.view == 0) {
        throw std::runtime_error("size and view must not be 0");
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = Parse(argc, argv);
        struct sigaction action {};
        action.sa_handler = OnSignal;
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        Benchmark benchmark(options);
        for (int round = 0; round < options.rounds; ++round) {
            benchmark.Round();
        }
        benchmark.Report();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "file_view_throughput: %s\n", e.what());
        return 1;
    }
}
