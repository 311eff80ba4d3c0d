#include <algorithm>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file/FileException.hpp"
#include "file/FileTestSupport.hpp"
#include "file/posix/PosixSharedFile.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;

using test::ModeOf;
using test::Outcome;

class SharedFileTest : public ::testing::Test {
protected:
    std::shared_ptr<SharedFile> Open(const std::string& name,
                                     SharedFileMode mode = SharedFileMode::OpenOrCreate,
                                     std::uint64_t lower = 0, std::uint64_t upper = WholeFileUpperBound) {
        return factory.Create(scratch.Path(), name, mode, lower, upper);
    }
    std::string ReadAll(const std::shared_ptr<SharedFile>& file) {
        std::string text;
        char buffer[BoundedFileData::ReadStep];
        std::uint32_t n = 0;
        do {
            n = file->Read(buffer, sizeof buffer);
            text.append(buffer, n);
        } while (n == sizeof buffer);
        return text;
    }

    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
};

// The tests of where names lead run with both ways of resolving them.
class SharedFilePathTest : public test::PathResolutionTest {
protected:
    test::ScratchFolder scratch;
    PosixSharedFileFactory factory;
};
HALCYNE_BOTH_PATH_RESOLUTIONS(SharedFilePathTest);

TEST_P(SharedFilePathTest, ModesDecideWhetherFilesAndFoldersAreCreated) {
    struct Case {
        const char* label;
        SharedFileMode mode;
        const char* name;
        bool exists;          // the file is there before, holding "old"
        std::string outcome;  // what Create throws
        bool folderAfter;     // the parent folder exists afterwards
    };
    const auto other = static_cast<SharedFileMode>(7);
    const Case cases[] = {
        {"open or create, new with folders", SharedFileMode::OpenOrCreate, "a/b/new.bin", false, "none",
         true},
        {"open or create, existing", SharedFileMode::OpenOrCreate, "old.bin", true, "none", true},
        {"create new, new with folders", SharedFileMode::CreateNew, "c/d/new.bin", false, "none", true},
        {"create new, existing", SharedFileMode::CreateNew, "old.bin", true, "InUse", true},
        {"open existing, existing", SharedFileMode::OpenExisting, "old.bin", true, "none", true},
        {"open existing, missing", SharedFileMode::OpenExisting, "new.bin", false, "BadPath", true},
        {"open existing, missing folder", SharedFileMode::OpenExisting, "e/new.bin", false, "BadPath", false},
        {"other mode, new in existing folder", other, "new.bin", false, "none", true},
        {"other mode, missing folder", other, "f/new.bin", false, "BadPath", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScratchFolder folder;
        const std::string path = folder / c.name;
        if (c.exists) {
            test::WriteFileText(path, "old");
        }
        std::shared_ptr<SharedFile> file;
        EXPECT_EQ(
            Outcome([&] { file = factory.Create(folder.Path(), c.name, c.mode, 0, WholeFileUpperBound); }),
            c.outcome);
        EXPECT_EQ(fs::is_directory(fs::path(path).parent_path()), c.folderAfter);
        if (c.outcome == "none") {
            ASSERT_TRUE(file);
            EXPECT_EQ(test::ReadFileText(path), c.exists ? "old" : "");  // never truncated
            EXPECT_EQ(ModeOf(path) & 0111, 0u) << "created without execute permission";
        } else {
            EXPECT_EQ(fs::exists(path), c.exists);
        }
    }
}

TEST_F(SharedFileTest, BoundsAreCheckedAtOpenAndTheFileStartsAtTheLowerBound) {
    EXPECT_EQ(Outcome([&] { Open("a.bin", SharedFileMode::OpenOrCreate, 6, 5); }), "OutOfBounds");
    EXPECT_FALSE(fs::exists(scratch / "a.bin"));
    const auto one = Open("a.bin", SharedFileMode::OpenOrCreate, 5, 5);
    EXPECT_EQ(one->Position(), 5u);
    EXPECT_EQ(one->LowerBound(), 5u);
    EXPECT_EQ(one->UpperBound(), 5u);
}

TEST_P(SharedFilePathTest, NamesStayInsideTheirFolder) {
    fs::create_directories(scratch / "dest");
    const std::string dest = scratch / "dest";
    struct Case {
        std::string name;
        std::string placed;  // relative to dest; empty: refused as a bad path
    };
    const Case cases[] = {
        {"/bin/a.dll", "bin/a.dll"},
        {"///x.bin", "x.bin"},
        {"sub/./y.bin", "sub/y.bin"},
        {"..data/z.bin", "..data/z.bin"},  // only a whole ".." component climbs
        {"../outside.bin", ""},
        {"sub/../../outside.bin", ""},
        {"/../outside.bin", ""},
        {"sub/..", ""},
        {"..", ""},
        {"", ""},  // names that name no file
        {"/", ""},
        {"sub/", ""},
        {"sub/.", ""},
        {std::string("a\0/../../outside.bin", 20), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.placed.empty()) {
            EXPECT_EQ(Outcome([&] { factory.Create(dest, c.name, SharedFileMode::OpenOrCreate, 0, 9); }),
                      "BadPath");
        } else {
            factory.Create(dest, c.name, SharedFileMode::OpenOrCreate, 0, 9);
            EXPECT_TRUE(fs::is_regular_file(dest + "/" + c.placed));
        }
    }
    EXPECT_FALSE(fs::exists(scratch / "outside.bin"));
    EXPECT_EQ(Outcome([&] { factory.Create("", "x.bin", SharedFileMode::OpenOrCreate, 0, 9); }), "BadPath");

    // Deleting follows the same rule: a name that climbs out deletes nothing.
    test::WriteFileText(scratch / "victim.bin", "keep");
    EXPECT_FALSE(factory.Delete(dest, "../victim.bin"));
    EXPECT_TRUE(fs::exists(scratch / "victim.bin"));
}

TEST_P(SharedFilePathTest, NewFoldersArePrivateWhateverTheFolderTheyAreMadeIn) {
    const mode_t previous = ::umask(022);
    for (const mode_t parent : {mode_t{0700}, mode_t{0755}, mode_t{0750}}) {
        SCOPED_TRACE(parent);
        test::ScratchFolder folder;
        ::chmod(folder.Path().c_str(), parent);
        factory.Create(folder.Path(), "x/y/z.bin", SharedFileMode::CreateNew, 0, 9);
        EXPECT_EQ(ModeOf(folder / "x"), 0700u);
        EXPECT_EQ(ModeOf(folder / "x/y"), 0700u);
        EXPECT_EQ(ModeOf(folder.Path()), parent) << "the given folder is left as it is";
        // A missing destination folder is made too, with the missing folders above it.
        factory.Create(folder / "new/dest", "z.bin", SharedFileMode::OpenOrCreate, 0, 9);
        EXPECT_EQ(ModeOf(folder / "new"), 0700u);
        EXPECT_EQ(ModeOf(folder / "new/dest"), 0700u);
    }
    ::umask(previous);

    // Only the modes that create folders make a missing destination folder.
    test::ScratchFolder folder;
    for (const auto mode : {SharedFileMode::OpenExisting, static_cast<SharedFileMode>(7)}) {
        EXPECT_EQ(Outcome([&] { factory.Create(folder / "missing", "z.bin", mode, 0, 9); }), "BadPath");
    }
    EXPECT_FALSE(factory.Delete(folder / "missing", "z.bin"));
    EXPECT_FALSE(fs::exists(folder / "missing"));
}

TEST_F(SharedFileTest, AllocateExtendsOnlyAnEmptyFileAndReservesItsBlocks) {
    struct Case {
        const char* label;
        std::string content;  // before
        std::uint64_t upper;  // the file's upper bound
        std::uint64_t size;   // asked for
        std::string outcome;
        bool result;
        std::uint64_t sizeAfter;
    };
    const Case cases[] = {
        {"empty, zero", "", WholeFileUpperBound, 0, "none", true, 0},
        {"empty, extended", "", WholeFileUpperBound, 100000, "none", true, 100000},
        {"empty, exactly the bounds", "", 9, 10, "none", true, 10},
        {"empty, beyond the bounds", "", 9, 11, "OutOfBounds", false, 0},
        {"content, larger", "abc", WholeFileUpperBound, 100, "none", false, 3},
        {"content, same", "abc", WholeFileUpperBound, 3, "none", false, 3},
        {"content, zero", "abc", WholeFileUpperBound, 0, "none", false, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        test::ScratchFolder folder;
        test::WriteFileText(folder / "f.bin", c.content);
        const auto file = factory.Create(folder.Path(), "f.bin", SharedFileMode::OpenExisting, 0, c.upper);
        if (!c.content.empty()) {
            file->Seek(2);
        }
        bool result = false;
        EXPECT_EQ(Outcome([&] { result = file->Allocate(c.size); }), c.outcome);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(file->Size(), c.sizeAfter);
        if (!c.content.empty()) {
            EXPECT_EQ(test::ReadFileText(folder / "f.bin"), c.content);
            EXPECT_EQ(file->Position(), 2u) << "a refused allocation moves nothing";
        } else if (c.result) {
            EXPECT_EQ(file->Position(), 0u);
            struct stat st {};
            ::stat((folder / "f.bin").c_str(), &st);
            EXPECT_GE(static_cast<std::uint64_t>(st.st_blocks) * 512, c.size)
                << "blocks reserved, not sparse";
            EXPECT_EQ(test::ReadFileText(folder / "f.bin"), std::string(c.size, '\0'));
        }
    }
}

TEST_F(SharedFileTest, HandleWritesStayInsideTheBounds) {
    const auto file = Open("w.bin", SharedFileMode::OpenOrCreate, 0, 9);
    EXPECT_EQ(file->Write("", 0), 0u);
    EXPECT_EQ(file->Write("0123456", 7), 7u);
    EXPECT_EQ(file->Position(), 7u);
    EXPECT_EQ(Outcome([&] { file->Write("abcd", 4); }), "OutOfBounds");
    EXPECT_EQ(test::ReadFileText(scratch / "w.bin"), "0123456") << "a refused write writes nothing";
    EXPECT_EQ(file->Write("abc", 3), 3u);
    EXPECT_EQ(Outcome([&] { file->Write("x", 1); }), "OutOfBounds") << "at UpperBound + 1";
    EXPECT_EQ(test::ReadFileText(scratch / "w.bin"), "0123456abc");
    EXPECT_EQ(Outcome([&] { file->Seek(10); }), "OutOfBounds");
    file->Seek(9);
    EXPECT_EQ(file->Position(), 9u);

    const auto offset = Open("w.bin", SharedFileMode::OpenExisting, 4, 5);
    EXPECT_EQ(Outcome([&] { offset->Seek(3); }), "OutOfBounds");
    EXPECT_EQ(offset->Write("XY", 2), 2u);
    EXPECT_EQ(test::ReadFileText(scratch / "w.bin"), "0123XY6abc");
}

TEST_F(SharedFileTest, ReadingUntilAShortReadGetsEveryByteOfTheFileOrTheBounds) {
    std::string content;
    for (int i = 0; i < 10000; ++i) {
        content += static_cast<char>('a' + i % 26);
    }
    struct Case {
        std::size_t fileSize;
        std::uint64_t upper;
        std::size_t expected;
    };
    const Case cases[] = {
        {0, WholeFileUpperBound, 0},
        {1, WholeFileUpperBound, 1},
        {4095, WholeFileUpperBound, 4095},
        {4096, WholeFileUpperBound, 4096},
        {4097, WholeFileUpperBound, 4097},
        {8192, WholeFileUpperBound, 8192},
        {10000, WholeFileUpperBound, 10000},
        {10000, 4999, 5000},
        {10000, 4095, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fileSize) + " bytes, upper " + std::to_string(c.upper));
        test::WriteFileText(scratch / "r.bin", content.substr(0, c.fileSize));
        const auto file = Open("r.bin", SharedFileMode::OpenExisting, 0, c.upper);
        EXPECT_EQ(ReadAll(file), content.substr(0, c.expected));
    }
    test::WriteFileText(scratch / "r.bin", content);
    const auto file = Open("r.bin", SharedFileMode::OpenExisting);
    char buffer[10000];
    EXPECT_EQ(file->Read(buffer, 10000), 4096u);
    EXPECT_EQ(file->Read(buffer, 0), 0u);
    EXPECT_EQ(file->Position(), 4096u);
}

TEST_F(SharedFileTest, ExecutePermissionFollowsReadPermission) {
    struct Case {
        mode_t before, denied, allowed;
    };
    const Case cases[] = {
        {0644, 0644, 0755}, {0600, 0600, 0700}, {0640, 0640, 0750}, {0755, 0644, 0755}, {0711, 0600, 0700},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        test::WriteFileText(scratch / "run.sh", "x");
        ::chmod((scratch / "run.sh").c_str(), c.before);
        const auto file = Open("run.sh", SharedFileMode::OpenExisting);
        EXPECT_TRUE(file->DenyExecute());
        EXPECT_EQ(ModeOf(scratch / "run.sh"), c.denied);
        EXPECT_TRUE(file->AllowExecute());
        EXPECT_EQ(ModeOf(scratch / "run.sh"), c.allowed);
    }
}

// Positional reads and writes: the bounds as for the handle, and a write never reaches past the file's
// current end, also when someone has made the file shorter since it was allocated (a write there would
// extend it silently, leaving a hole where its other bytes were).
TEST_F(SharedFileTest, PositionalWritesStayInsideTheBoundsAndTheFile) {
    struct Case {
        const char* label;
        std::uint64_t offset;
        std::string data;
        std::uint64_t shortenTo;  // the file's length after someone else's truncate; 0 for none
        std::string outcome;
        std::string content;  // afterwards, '.' for the allocated zeros
    };
    const Case cases[] = {
        {"inside", 12, "abc", 0, "none", "............abc....."},
        {"the last byte of the bounds", 17, "z", 0, "none", ".................z.."},
        {"nothing", 19, "", 0, "none", "...................."},
        {"below the lower bound", 1, "abc", 0, "OutOfBounds", "...................."},
        {"across the upper bound", 16, "abc", 0, "OutOfBounds", "...................."},
        {"past the end of a shortened file", 12, "abc", 14, "InvalidMap", ".............."},
        {"before the end of a shortened file", 2, "abc", 14, "none", "..abc........."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove(scratch / "p.bin");
        ASSERT_TRUE(Open("p.bin", SharedFileMode::CreateNew)->Allocate(20));
        const auto file = Open("p.bin", SharedFileMode::OpenExisting, 2, 17);
        if (c.shortenTo != 0) {
            ASSERT_EQ(::truncate((scratch / "p.bin").c_str(), static_cast<off_t>(c.shortenTo)), 0);
        }
        EXPECT_EQ(Outcome([&] { file->WriteAt(c.offset, c.data.data(), c.data.size()); }), c.outcome);
        std::string content = test::ReadFileText(scratch / "p.bin");
        std::replace(content.begin(), content.end(), '\0', '.');
        EXPECT_EQ(content, c.content);
    }
}

// A read takes what the file holds, fewer bytes at its end and none past it, inside the bounds only.
TEST_F(SharedFileTest, PositionalReadsStopAtTheEndOfTheFile) {
    test::WriteFileText(scratch / "r.bin", "0123456789");
    const auto file = Open("r.bin", SharedFileMode::OpenExisting, 1, 20);
    char buffer[16] = {};
    EXPECT_EQ(file->ReadAt(2, buffer, 3), 3u);
    EXPECT_EQ(std::string(buffer, 3), "234");
    EXPECT_EQ(file->ReadAt(8, buffer, 5), 2u);
    EXPECT_EQ(std::string(buffer, 2), "89");
    EXPECT_EQ(file->ReadAt(12, buffer, 5), 0u);
    EXPECT_EQ(file->ReadAt(3, buffer, 0), 0u);
    EXPECT_EQ(Outcome([&] { file->ReadAt(0, buffer, 2); }), "OutOfBounds");
    EXPECT_EQ(Outcome([&] { file->ReadAt(18, buffer, 4); }), "OutOfBounds");
}

// What a chunk's first check may skip reading: ranges of a file this object allocated that nothing has
// written since. Every way of writing counts, a view included (it could be written through), and a file
// this object did not allocate knows nothing.
TEST_F(SharedFileTest, RangesNeverWrittenSinceTheAllocationAreKnownZeros) {
    test::WriteFileText(scratch / "source.bin", std::string(100, 's'));
    const auto source = Open("source.bin", SharedFileMode::OpenExisting);
    const auto file = Open("z.bin", SharedFileMode::CreateNew);
    EXPECT_FALSE(file->HoldsAllocatedZeros(0, 0)) << "before the allocation";
    ASSERT_TRUE(file->Allocate(100));
    file->WriteAt(10, "abcde", 5);    // [10, 14]
    file->WriteAt(15, "fgh", 3);      // [15, 17], merged with the range before
    file->CopyRange(*source, 40, 5);  // [40, 44]
    file->Map(60, 61);                // [60, 61]
    file->Seek(80);
    file->Write("w", 1);  // [80]
    struct Case {
        std::uint64_t lower, upper;
        bool zeros;
    };
    const Case cases[] = {
        {0, 9, true},    {0, 10, false}, {14, 14, false},  {17, 18, false}, {18, 39, true},
        {39, 40, false}, {45, 59, true}, {61, 70, false},  {62, 79, true},  {80, 80, false},
        {81, 99, true},  {0, 99, false}, {99, 100, false},  // past the end of the file
    };
    for (const Case& c : cases) {
        EXPECT_EQ(file->HoldsAllocatedZeros(c.lower, c.upper), c.zeros) << c.lower << " to " << c.upper;
    }
    EXPECT_FALSE(source->HoldsAllocatedZeros(0, 9)) << "a file this object did not allocate";
    EXPECT_FALSE(Open("z.bin", SharedFileMode::OpenExisting)->HoldsAllocatedZeros(0, 9))
        << "another object of the same file";
}

TEST_F(SharedFileTest, CopyRangeCopiesBytesToTheSameOffsetAndNeverExtendsTheFile) {
    std::string pattern;
    for (int i = 0; i < 300000; ++i) {
        pattern += static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    struct Case {
        const char* label;
        std::size_t sourceSize, destinationSize;
        std::uint64_t destinationUpper;
        std::uint64_t offset, length;
        std::string outcome;
    };
    const Case cases[] = {
        {"the whole file", 300000, 300000, WholeFileUpperBound, 0, 300000, "none"},
        {"an unaligned middle range", 300000, 300000, WholeFileUpperBound, 4095, 140001, "none"},
        {"nothing", 300000, 300000, WholeFileUpperBound, 5, 0, "none"},
        {"beyond the destination's end", 300000, 1000, WholeFileUpperBound, 500, 501, "InvalidMap"},
        {"beyond the destination's bounds", 300000, 900, 899, 500, 500, "OutOfBounds"},
        {"beyond the source's end", 100, 1000, WholeFileUpperBound, 50, 100, "InvalidMap"},
    };
    // A source on another file system, where the kernel cannot copy between the two, takes the copy
    // through a buffer.
    std::string otherFileSystem = "/dev/shm/halcyne-copy-XXXXXX";
    struct stat here {
    }, there{};
    if (::mkdtemp(otherFileSystem.data()) == nullptr) {
        otherFileSystem.clear();
    } else if (::stat(scratch.Path().c_str(), &here) != 0 || ::stat(otherFileSystem.c_str(), &there) != 0 ||
               here.st_dev == there.st_dev) {
        fs::remove_all(otherFileSystem);
        otherFileSystem.clear();
    }
    for (const std::string& sourceFolder : {scratch.Path(), otherFileSystem}) {
        if (sourceFolder.empty()) {
            continue;
        }
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + " from " + sourceFolder);
            test::WriteFileText(sourceFolder + "/source.bin", pattern.substr(0, c.sourceSize));
            fs::remove(scratch / "destination.bin");
            const auto source = factory.Create(sourceFolder, "source.bin", SharedFileMode::OpenExisting, 0,
                                               WholeFileUpperBound);
            const auto destination =
                Open("destination.bin", SharedFileMode::CreateNew, 0, c.destinationUpper);
            ASSERT_TRUE(destination->Allocate(c.destinationSize));
            std::string expected(c.destinationSize, '\0');
            EXPECT_EQ(Outcome([&] { destination->CopyRange(*source, c.offset, c.length); }), c.outcome);
            if (c.outcome == "none") {
                expected.replace(c.offset, c.length, pattern.substr(c.offset, c.length));
            }
            EXPECT_EQ(destination->Size(), c.destinationSize) << "the file is never extended";
            if (c.sourceSize >= c.offset + c.length || c.outcome == "none") {
                EXPECT_TRUE(test::ReadFileText(scratch / "destination.bin") == expected);
            }
        }
    }
    if (!otherFileSystem.empty()) {
        fs::remove_all(otherFileSystem);
    }
}

TEST_F(SharedFileTest, ExecutablesAreKnownByTheirExactExtension) {
    struct Case {
        const char* name;
        bool executable;
    };
    const Case cases[] = {
        {"setup.exe", true},     {"run.cmd", true},      {"bin/tool.bat", true},
        {"x.com", true},         {"x.msi", true},        {"x.vbs", true},
        {"start.sh", true},      {"game.run", true},     {"Game.AppImage", true},
        {".exe", true},          {"SETUP.EXE", false},   {"game.appimage", false},
        {"readme.txt", false},   {"noextension", false}, {"setup.exe.txt", false},
        {"dir.exe/file", false}, {"name.", false},       {"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(factory.IsExecutable("ignored", c.name), c.executable) << c.name;
    }
}

TEST_P(SharedFilePathTest, DeleteReportsWhetherAFileWentAway) {
    test::WriteFileText(scratch / "d.bin", "x");
    fs::create_directories(scratch / "folder");
    EXPECT_TRUE(factory.Delete(scratch.Path(), "/d.bin"));
    EXPECT_FALSE(fs::exists(scratch / "d.bin"));
    EXPECT_FALSE(factory.Delete(scratch.Path(), "d.bin")) << "already gone";
    EXPECT_FALSE(factory.Delete(scratch.Path(), "folder")) << "not a file";
    EXPECT_FALSE(factory.Delete("", "d.bin"));
    EXPECT_TRUE(fs::is_directory(scratch / "folder"));
}

}  // namespace
}  // namespace halcyne
