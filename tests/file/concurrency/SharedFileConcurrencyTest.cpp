#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "file/FileException.hpp"
#include "file/FileTestSupport.hpp"
#include "file/posix/PosixSharedFile.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

std::uint8_t ByteAt(std::uint64_t offset) {
    return static_cast<std::uint8_t>((offset * 131 + offset / 4093) & 0xff);
}

// Chunks of an uneven size, so that most views start inside a page, filled by many threads at once as the
// chunk works do: map (the first maps race to create the file's mapping), fetch, write in pieces, verify
// in place. The file object is let go before the views, and the views die on another thread.
TEST(SharedFileConcurrencyTest, ThreadsFillTheChunksOfOneFileThroughTheirOwnViews) {
    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
    const std::uint64_t chunk = 3 * 4096 + 123;
    const std::uint64_t chunks = 48;
    const std::uint64_t size = chunk * chunks - 1000;  // the last chunk is short
    auto file = factory.Create(scratch.Path(), "data/game.pak", SharedFileMode::OpenOrCreate, 0, size - 1);
    ASSERT_TRUE(file->Allocate(size));

    const int threads = 6;
    std::vector<std::vector<std::shared_ptr<MemoryMappedFileData>>> views(threads);
    std::vector<int> mismatches(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::vector<std::uint8_t> piece(1000);
            for (std::uint64_t i = t; i < chunks; i += threads) {
                const std::uint64_t lower = i * chunk;
                const std::uint64_t upper = std::min(lower + chunk, size) - 1;
                auto view = file->Map(lower, upper);
                view->Fetch();
                for (std::uint64_t at = lower; at <= upper; at += piece.size()) {
                    const auto n =
                        static_cast<std::uint32_t>(std::min<std::uint64_t>(piece.size(), upper - at + 1));
                    for (std::uint32_t k = 0; k < n; ++k) {
                        piece[k] = ByteAt(at + k);
                    }
                    view->Write(piece.data(), n);
                }
                view->Process([&](const std::uint8_t* data, std::uint32_t length) {
                    for (std::uint32_t k = 0; k < length; ++k) {
                        mismatches[t] += data[k] != ByteAt(lower + k) ? 1 : 0;
                    }
                });
                views[t].push_back(std::move(view));
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    file.reset();
    std::thread([&] { views.clear(); }).join();

    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    }
    const std::string content = test::ReadFileText(scratch / "data/game.pak");
    ASSERT_EQ(content.size(), size);
    std::uint64_t wrong = 0;
    for (std::uint64_t k = 0; k < size; ++k) {
        wrong += static_cast<std::uint8_t>(content[k]) != ByteAt(k) ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u);
}

// One view whose memory several threads fill at disjoint offsets at the same time.
TEST(SharedFileConcurrencyTest, ThreadsWriteDisjointPartsOfOneView) {
    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
    const std::uint64_t size = (1 << 20) + 77;
    const auto file = factory.Create(scratch.Path(), "one.bin", SharedFileMode::CreateNew, 0, size - 1);
    ASSERT_TRUE(file->Allocate(size));
    const auto view = file->Map(5, size - 1);
    view->Fetch();
    std::uint8_t* data = view->Data();
    const std::uint64_t length = size - 5;
    const int threads = 4;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([=] {
            for (std::uint64_t k = t; k < length; k += threads) {
                data[k] = ByteAt(k);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    std::uint64_t wrong = 0;
    view->Process([&](const std::uint8_t* bytes, std::uint32_t n) {
        for (std::uint32_t k = 0; k < n; ++k) {
            wrong += bytes[k] != ByteAt(k) ? 1 : 0;
        }
    });
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(test::ReadFileText(scratch / "one.bin").substr(0, 6), std::string(5, '\0') + char(ByteAt(0)));
}

// Faults on several threads at once: each thread's guard catches its own fault, again and again.
TEST(SharedFileConcurrencyTest, FaultsOnSeveralThreadsAreEachCaughtByTheirOwnGuard) {
    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
    const int threads = 4;
    const int rounds = 20;
    std::vector<int> caught(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const std::string name = "t" + std::to_string(t) + ".bin";
            for (int r = 0; r < rounds; ++r) {
                factory.Delete(scratch.Path(), name);
                const auto file = factory.Create(scratch.Path(), name, SharedFileMode::CreateNew, 0, 65535);
                file->Allocate(65536);
                const auto view = file->Map(100, 65535);
                ::truncate((scratch / name).c_str(), 0);
                const std::string bytes(5000, 'x');
                try {
                    view->Write(bytes.data(), 5000);
                } catch (const FileInvalidMapException&) {
                    ++caught[t];
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(caught[t], rounds) << "thread " << t;
    }
}

// Files opened at once by many threads, as the file works do, in folders that none of them finds: every
// thread creates or meets the same folders, and every file ends up in its place.
class SharedFileFolderConcurrencyTest : public test::PathResolutionTest {};
HALCYNE_BOTH_PATH_RESOLUTIONS(SharedFileFolderConcurrencyTest);

TEST_P(SharedFileFolderConcurrencyTest, ThreadsCreateFilesInTheSameMissingFolders) {
    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
    const int threads = 6;
    const int files = 20;
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int f = t; f < files * threads; f += threads) {
                const std::string name =
                    "pkg/data/level" + std::to_string(f % 3) + "/file" + std::to_string(f);
                try {
                    const auto file =
                        factory.Create(scratch.Path(), name, SharedFileMode::OpenOrCreate, 0, 9);
                    file->Write("0123456789", 10);
                } catch (const std::exception&) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    }
    for (int f = 0; f < files * threads; ++f) {
        const std::string name = "pkg/data/level" + std::to_string(f % 3) + "/file" + std::to_string(f);
        EXPECT_EQ(test::ReadFileText(scratch / name), "0123456789") << name;
    }
}

}  // namespace
}  // namespace halcyne
