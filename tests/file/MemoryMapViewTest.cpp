#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "file/FileException.hpp"
#include "file/posix/PosixMemoryMapView.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

const std::uint64_t Page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));

std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return text;
}

class MemoryMapViewTest : public ::testing::Test {
protected:
    // A file holding `content`, opened whole.
    std::shared_ptr<SharedFile> Existing(const std::string& content, const std::string& name = "f.bin") {
        test::WriteFileText(scratch / name, content);
        return factory.Create(scratch.Path(), name, SharedFileMode::OpenExisting, 0, WholeFileUpperBound);
    }
    // A new file of `size` zero bytes, allocated through the file.
    std::shared_ptr<SharedFile> Allocated(std::uint64_t size, const std::string& name = "f.bin") {
        auto file = factory.Create(scratch.Path(), name, SharedFileMode::CreateNew, 0, size - 1);
        EXPECT_TRUE(file->Allocate(size));
        return file;
    }

    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
};

TEST_F(MemoryMapViewTest, AViewStartsAtItsLowerBoundWhereverThatIs) {
    const std::string content = Pattern(3 * Page + 500);
    const auto file = Existing(content);
    for (const std::uint64_t lower : {std::uint64_t{0}, std::uint64_t{1}, Page - 1, Page, Page + 7}) {
        SCOPED_TRACE(lower);
        const std::uint64_t upper = lower + 2 * Page;
        const auto view = file->Map(lower, upper);
        EXPECT_EQ(view->LowerBound(), lower);
        EXPECT_EQ(view->Position(), lower);
        EXPECT_EQ(std::memcmp(view->Data(), content.data() + lower, upper - lower + 1), 0);
        view->Seek(upper - 2);
        EXPECT_EQ(view->Write("XYZ", 3), 3u);
        EXPECT_EQ(test::ReadFileText(scratch / "f.bin").substr(upper - 2, 3), "XYZ");
        view->Seek(upper - 2);
        view->Write(content.data() + upper - 2, 3);
    }
    // Map() covers the file's own bounds.
    const auto bounded =
        factory.Create(scratch.Path(), "f.bin", SharedFileMode::OpenExisting, 3, content.size() - 1);
    const auto whole = bounded->Map();
    EXPECT_EQ(whole->Data()[0], static_cast<std::uint8_t>(content[3]));
    EXPECT_EQ(whole->Data()[content.size() - 4], static_cast<std::uint8_t>(content.back()));
}

TEST_F(MemoryMapViewTest, OnlyBytesThatExistCanBeMapped) {
    const auto file = Existing(std::string(100, 'x'));
    struct Case {
        std::uint64_t lower, upper;
        std::string outcome;
    };
    const Case cases[] = {
        {0, 99, "none"},          {99, 99, "none"},      {0, 100, "InvalidMap"},
        {100, 100, "InvalidMap"}, {5, 4, "OutOfBounds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.lower) + ".." + std::to_string(c.upper));
        std::string outcome = "none";
        try {
            file->Map(c.lower, c.upper);
        } catch (const FileInvalidMapException&) {
            outcome = "InvalidMap";
        } catch (const FileOutOfBoundsException&) {
            outcome = "OutOfBounds";
        }
        EXPECT_EQ(outcome, c.outcome);
    }
    const auto bounded = factory.Create(scratch.Path(), "f.bin", SharedFileMode::OpenExisting, 10, 19);
    EXPECT_THROW(bounded->Map(9, 12), FileOutOfBoundsException);
    EXPECT_THROW(bounded->Map(15, 20), FileOutOfBoundsException);
    const auto empty = factory.Create(scratch.Path(), "e.bin", SharedFileMode::CreateNew, 0, 9);
    EXPECT_THROW(empty->Map(), FileInvalidMapException) << "not allocated yet";
}

TEST_F(MemoryMapViewTest, PositionedAccessStaysInsideTheView) {
    const std::string content = Pattern(20000);
    const auto file = Existing(content);
    const auto view = file->Map(1000, 1009);
    EXPECT_EQ(view->Write("", 0), 0u);
    EXPECT_EQ(view->Consume(0), nullptr);
    EXPECT_EQ(view->Write("0123456", 7), 7u);
    EXPECT_THROW(view->Write("abcd", 4), FileOutOfBoundsException);
    EXPECT_EQ(test::ReadFileText(scratch / "f.bin").substr(1000, 10), "0123456" + content.substr(1007, 3))
        << "a refused write writes nothing";
    EXPECT_THROW(view->Consume(4), FileOutOfBoundsException);
    EXPECT_EQ(view->Consume(3), view->Data() + 7);
    EXPECT_EQ(view->Position(), 1010u);
    EXPECT_THROW(view->Write("x", 1), FileOutOfBoundsException);
    EXPECT_THROW(view->Seek(999), FileOutOfBoundsException);
    EXPECT_THROW(view->Seek(1010), FileOutOfBoundsException);
    view->Seek(1009);
    EXPECT_EQ(view->Position(), 1009u);
}

TEST_F(MemoryMapViewTest, ReadingUntilAShortReadGetsTheWholeView) {
    const std::string content = Pattern(3 * 4096 + 100);
    const auto file = Existing(content);
    for (const std::uint64_t length : {std::uint64_t{1}, std::uint64_t{4096}, std::uint64_t{5000},
                                       std::uint64_t{8192}, std::uint64_t{3 * 4096 + 99}}) {
        SCOPED_TRACE(length);
        const auto view = file->Map(1, length);
        std::string read;
        char buffer[10000];
        std::uint32_t n = 0;
        do {
            n = view->Read(buffer, sizeof buffer);
            EXPECT_LE(n, 4096u);
            read.append(buffer, n);
        } while (n == 4096);
        EXPECT_EQ(read, content.substr(1, length));
        EXPECT_EQ(view->Read(buffer, sizeof buffer), 0u) << "at the end";
    }
}

TEST_F(MemoryMapViewTest, ProcessRunsOnceOverTheBytesInPlaceAndLetsExceptionsThrough) {
    const std::string content = Pattern(2 * Page);
    const auto file = Existing(content);
    const auto view = file->Map(Page - 3, 2 * Page - 1);
    int calls = 0;
    view->Process([&](const std::uint8_t* data, std::uint32_t length) {
        ++calls;
        EXPECT_EQ(data, view->Data());
        EXPECT_EQ(length, Page + 3);
        EXPECT_EQ(std::memcmp(data, content.data() + Page - 3, length), 0);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_THROW(view->Process([](const std::uint8_t*, std::uint32_t) { throw std::runtime_error("mine"); }),
                 std::runtime_error);
    char byte = 0;
    view->Seek(Page - 3);
    EXPECT_EQ(view->Read(&byte, 1), 1u) << "the view still works after the exception";
    EXPECT_EQ(byte, content[Page - 3]);
}

TEST_F(MemoryMapViewTest, FetchMakesEveryPageResidentWithoutChangingTheBytes) {
    const std::uint64_t size = 64 * Page;
    const std::string content = Pattern(size);
    struct Case {
        const char* label;
        bool fresh;
    };
    for (const Case c : {Case{"fresh", true}, Case{"existing", false}}) {
        SCOPED_TRACE(c.label);
        test::ScratchFolder folder;
        std::shared_ptr<SharedFile> file;
        if (c.fresh) {
            file = factory.Create(folder.Path(), "f.bin", SharedFileMode::CreateNew, 0, size - 1);
            ASSERT_TRUE(file->Allocate(size));
        } else {
            test::WriteFileText(folder / "f.bin", content);
            file = factory.Create(folder.Path(), "f.bin", SharedFileMode::OpenExisting, 0, size - 1);
        }
        // Drop the file's pages from the cache (clean pages only) so that residency shows the Fetch.
        {
            const int fd = ::open((folder / "f.bin").c_str(), O_RDONLY);
            ::fdatasync(fd);
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
        const auto view = file->Map(Page + 1, size - 1);
        view->Fetch();
        std::vector<unsigned char> resident((size - Page + Page - 1) / Page);
        ASSERT_EQ(::mincore(view->Data() - 1, size - Page, resident.data()), 0);
        for (std::size_t i = 0; i < resident.size(); ++i) {
            EXPECT_TRUE(resident[i] & 1) << "page " << i;
        }
        const std::string expected = c.fresh ? std::string(size, '\0') : content;
        EXPECT_EQ(std::memcmp(view->Data(), expected.data() + Page + 1, size - Page - 1), 0);
    }
}

TEST_F(MemoryMapViewTest, ARangeOfFourGigabytesOrMoreIsRefusedWithoutWrapping) {
    // A sparse file larger than 4 GiB: nothing is written, the views are only mapped.
    const std::uint64_t four = std::uint64_t{1} << 32;
    test::WriteFileText(scratch / "big.bin", "");
    ASSERT_EQ(::truncate((scratch / "big.bin").c_str(), static_cast<off_t>(four + 2 * Page)), 0);
    const auto file =
        factory.Create(scratch.Path(), "big.bin", SharedFileMode::OpenExisting, 0, WholeFileUpperBound);
    struct Case {
        const char* label;
        std::uint64_t lower, upper;
        bool accepted;
    };
    const Case cases[] = {
        {"2^32 - 1 bytes", 0, four - 2, true},
        {"2^32 bytes", 0, four - 1, false},
        {"2^32 - 1 bytes, one more for the page offset", Page + 1, Page + four - 1, false},
        {"2^32 - 1 bytes from a page boundary", Page, Page + four - 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.accepted) {
            EXPECT_EQ(file->Map(c.lower, c.upper)->UpperBound(), c.upper);
        } else {
            try {
                file->Map(c.lower, c.upper);
                ADD_FAILURE() << "mapped";
            } catch (const std::bad_alloc& e) {
                EXPECT_STREQ(e.what(), "bad allocation");
            }
        }
    }
    // The whole 64-bit range is 2^64 bytes: its length must not wrap to 0 and pass.
    EXPECT_THROW(file->Map(), std::bad_alloc);
}

// The file is cut short under a mapped view, as another process might do: every access to the lost bytes
// must end in FileInvalidMapException, and the process must live on.
TEST_F(MemoryMapViewTest, AFaultInsideAViewBecomesAnException) {
    struct Case {
        const char* label;
        bool fresh;
        std::function<void(MemoryMappedFileData&)> access;
    };
    const Case cases[] = {
        {"write", true, [](MemoryMappedFileData& v) { v.Write(std::string(3000, 'x').data(), 3000); }},
        {"read", false,
         [](MemoryMappedFileData& v) {
             char b[4096];
             v.Read(b, sizeof b);
         }},
        {"process", false,
         [](MemoryMappedFileData& v) {
             v.Process([](const std::uint8_t* data, std::uint32_t length) {
                 volatile std::uint8_t sum = 0;
                 for (std::uint32_t i = 0; i < length; ++i) {
                     sum = static_cast<std::uint8_t>(sum + data[i]);
                 }
             });
         }},
        {"fetch, fresh", true, [](MemoryMappedFileData& v) { v.Fetch(); }},
        {"fetch, existing", false, [](MemoryMappedFileData& v) { v.Fetch(); }},
    };
    sigset_t before;
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &usr1, &before);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScratchFolder folder;
        std::shared_ptr<SharedFile> file;
        if (c.fresh) {
            file = factory.Create(folder.Path(), "t.bin", SharedFileMode::CreateNew, 0, 4 * Page - 1);
            ASSERT_TRUE(file->Allocate(4 * Page));
        } else {
            test::WriteFileText(folder / "t.bin", Pattern(4 * Page));
            file = factory.Create(folder.Path(), "t.bin", SharedFileMode::OpenExisting, 0, 4 * Page - 1);
        }
        const auto view = file->Map(Page + 100, 4 * Page - 1);
        ASSERT_EQ(::truncate((folder / "t.bin").c_str(), 0), 0);
        EXPECT_THROW(c.access(*view), FileInvalidMapException);
        EXPECT_EQ(view->Position(), Page + 100) << "the position does not move over lost bytes";
        // The thread's signal mask is as it was: SIGUSR1 (blocked by the test) still blocked, nothing else.
        sigset_t mask;
        ::pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        EXPECT_TRUE(sigismember(&mask, SIGUSR1));
        EXPECT_FALSE(sigismember(&mask, SIGBUS));
        EXPECT_FALSE(sigismember(&mask, SIGUSR2));
    }
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

bool DiedOfTheFault(int status) {
    // Killed by SIGBUS, or ended by a sanitizer's own report of it (an exit code or an abort).
    return WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
}

// A fault the guard does not own is not swallowed: outside any view, and in other memory while a view is
// being processed.
TEST_F(MemoryMapViewTest, AFaultOutsideEveryViewStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = scratch / "other.bin";
    test::WriteFileText(path, Pattern(2 * Page));
    const auto file = Existing(Pattern(2 * Page));
    const auto view = file->Map(0, Page - 1);
    char byte = 0;
    view->Read(&byte, 1);  // the guard's handler is installed now

    const auto touchLostPage = [&] {
        const int fd = ::open(path.c_str(), O_RDWR);
        auto* other = static_cast<volatile std::uint8_t*>(
            ::mmap(nullptr, 2 * Page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        ::ftruncate(fd, 0);
        other[Page] = 1;
    };
    EXPECT_EXIT(
        {
            touchLostPage();
            std::_Exit(0);
        },
        DiedOfTheFault, "");
    EXPECT_EXIT(
        {
            view->Process([&](const std::uint8_t*, std::uint32_t) { touchLostPage(); });
            std::_Exit(0);
        },
        DiedOfTheFault, "");
}

}  // namespace
}  // namespace halcyne
