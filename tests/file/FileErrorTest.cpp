#include <cerrno>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "file/FileException.hpp"
#include "file/posix/PosixFileError.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

template <class Action>
std::string Outcome(Action&& action) {
    try {
        action();
        return "none";
    } catch (const FileBadPathException&) {
        return "BadPath";
    } catch (const FileInUseException&) {
        return "InUse";
    } catch (const FileInaccessibleException&) {
        return "Inaccessible";
    } catch (const FileInsufficientSpaceException&) {
        return "InsufficientSpace";
    } catch (const FileInvalidMapException&) {
        return "InvalidMap";
    } catch (const FileOutOfBoundsException&) {
        return "OutOfBounds";
    } catch (const FileUnknownException&) {
        return "Unknown";
    } catch (const std::bad_alloc&) {
        return "bad_alloc";
    }
}

TEST(FileErrorTest, SystemErrorsMapToTheFileExceptions) {
    struct Case {
        int error;
        const char* outcome;
    };
    const Case cases[] = {
        {ENOENT, "BadPath"},
        {ENOTDIR, "BadPath"},
        {ENAMETOOLONG, "BadPath"},
        {ELOOP, "BadPath"},
        {EISDIR, "BadPath"},
        {EINVAL, "BadPath"},
        {EACCES, "Inaccessible"},
        {EPERM, "Inaccessible"},
        {EROFS, "Inaccessible"},
        {ENOMEM, "bad_alloc"},
        {EEXIST, "InUse"},
        {EBUSY, "InUse"},
        {ETXTBSY, "InUse"},
        {EAGAIN, "InUse"},
        {ENOSPC, "InsufficientSpace"},
        {EDQUOT, "InsufficientSpace"},
        {EFBIG, "InsufficientSpace"},
        {EIO, "Unknown"},
        {ENXIO, "Unknown"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Outcome([&] { ThrowFileError(c.error, "open", "/x/y"); }), c.outcome) << c.error;
    }
    try {
        ThrowFileError(ENOSPC, "allocate", "/data/game.pak");
    } catch (const FileException& e) {
        EXPECT_STREQ(e.what(), "allocate /data/game.pak: No space left on device");
    }
    EXPECT_STREQ(FileInUseException().what(), "FileInUseException");
}

// A file size limit stands in for a full disk: the kernel answers EFBIG, as it answers ENOSPC on a full one.
// Every limit short of the file's size must fail at allocation, leaving the file empty, and the handle's
// writes the same way; at the size both succeed.
TEST(FileErrorTest, AFullDiskIsReportedWhenTheFileIsAllocated) {
    const unsigned long long size = 40000;
    for (const unsigned long long limit : {0ull, 1ull, 4096ull, 32768ull, size - 1, size}) {
        SCOPED_TRACE(limit);
        test::ScratchFolder scratch;
        const auto result = test::RunInChildProcess(
            [&] {
                PosixSharedFileFactory factory;
                const auto file = factory.Create(scratch.Path(), "big.pak", SharedFileMode::CreateNew, 0,
                                                 WholeFileUpperBound);
                std::string report = Outcome([&] { file->Allocate(size); });
                report += " size " + std::to_string(file->Size());
                const auto other = factory.Create(scratch.Path(), "log.txt", SharedFileMode::CreateNew, 0,
                                                  WholeFileUpperBound);
                const std::string block(size, 'x');
                report += " write " +
                          Outcome([&] { other->Write(block.data(), static_cast<std::uint32_t>(size)); });
                return report;
            },
            {{RLIMIT_FSIZE, limit}});
        EXPECT_EQ(result.exitStatus, 0) << result.output;
        EXPECT_EQ(result.output, limit < size ? "InsufficientSpace size 0 write InsufficientSpace"
                                              : "none size 40000 write none");
    }
}

// Permission bits do not stop root; a file system that refuses to create anything does.
TEST(FileErrorTest, AReadOnlyPlaceIsInaccessibleEvenForRoot) {
    if (!boost::filesystem::is_directory("/sys/kernel")) {
        GTEST_SKIP() << "no sysfs";
    }
    PosixSharedFileFactory factory;
    EXPECT_EQ(
        Outcome([&] { factory.Create("/sys", "halcyne-test.bin", SharedFileMode::OpenOrCreate, 0, 9); }),
        "Inaccessible");
    // The folder cannot be made either: a parent-folder failure goes through the same table.
    EXPECT_EQ(
        Outcome([&] { factory.Create("/sys", "halcyne-test/a/b.bin", SharedFileMode::CreateNew, 0, 9); }),
        "Inaccessible");
}

TEST(FileErrorTest, AFileInThePlaceOfAFolderIsABadPath) {
    test::ScratchFolder scratch;
    test::WriteFileText(scratch / "plain", "x");
    boost::filesystem::create_directories(scratch / "folder");
    PosixSharedFileFactory factory;
    struct Case {
        std::string folder, name;
        SharedFileMode mode;
    };
    const Case cases[] = {
        {scratch / "plain", "x.bin", SharedFileMode::OpenOrCreate},
        {scratch.Path(), "plain/x/y.bin", SharedFileMode::CreateNew},
        {scratch.Path(), "plain/x.bin", SharedFileMode::OpenExisting},
        {scratch.Path(), "folder", SharedFileMode::OpenOrCreate},
        {scratch.Path(), "folder", SharedFileMode::OpenExisting},
        {"/dev", "null", SharedFileMode::OpenExisting},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Outcome([&] { factory.Create(c.folder, c.name, c.mode, 0, 9); }), "BadPath")
            << c.folder << " " << c.name;
    }
}

}  // namespace
}  // namespace halcyne
