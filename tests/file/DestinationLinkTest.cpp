#include <functional>
#include <map>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file/FileTestSupport.hpp"
#include "file/posix/PosixSharedFileFactory.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

namespace fs = boost::filesystem;
using test::Outcome;

// Every entry below `root`, never following a link: type, permission bits, and a file's bytes or a link's
// target. Link counts are left out (replacing a second name of a file lowers its count, and that is fine).
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> entries;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        const fs::path& path = it->path();
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
        std::string entry = std::to_string(st.st_mode & 07777) + " ";
        if (S_ISLNK(st.st_mode)) {
            entry += "link to " + fs::read_symlink(path).string();
        } else if (S_ISREG(st.st_mode)) {
            entry += "file " + test::ReadFileText(path.string());
        } else {
            entry += S_ISDIR(st.st_mode) ? "folder" : "other";
        }
        entries[path.lexically_relative(root).string()] = entry;
    }
    return entries;
}

enum class Action { OpenOrCreate, CreateNew, OtherMode, OpenExisting, Delete, RenameOnto };
constexpr Action Actions[] = {Action::OpenOrCreate, Action::CreateNew, Action::OtherMode,
                              Action::OpenExisting, Action::Delete,    Action::RenameOnto};
const char* const ActionNames[] = {"OpenOrCreate", "CreateNew", "mode 7", "OpenExisting", "Delete", "Rename"};

enum class After {
    Real,       // the name is a real file, with the package's bytes and no other name, in real folders
    Gone,       // the name is gone
    AsPlanted,  // the destination is exactly as it was
};

struct Expected {
    std::string outcome;  // the exception's name or "none"; Delete's result as "true" or "false"
    After after;
};

// What an attacker (or an earlier run gone wrong) left in a destination, and what each action must make of
// it: Expected per action, in the order of Actions.
struct Plant {
    const char* label;
    const char* name;  // the package file's name inside the destination
    std::function<void(const std::string& dest, const std::string& outside)> make;
    Expected expected[6];
};

class DestinationLinkTest : public test::PathResolutionTest {
protected:
    void SetUp() override {
        PathResolutionTest::SetUp();
        fs::create_directories(dest);
        fs::create_directories(outside + "/dir");
        // Outside files have the package file's length, so that a write through a link looks like an
        // already allocated package file and goes unnoticed.
        test::WriteFileText(outside + "/victim.bin", "OUTSIDE!");
        test::WriteFileText(outside + "/dir/data.bin", "OUTSIDE!");
        ::chmod((outside + "/victim.bin").c_str(), 0644);
        ::chmod((outside + "/dir/data.bin").c_str(), 0644);
    }

    // Runs `action` on `name`; the package's bytes are "PACKAGE!".
    std::string Run(Action action, const std::string& name) {
        if (action == Action::Delete) {
            return factory.Delete(dest, name) ? "true" : "false";
        }
        if (action == Action::RenameOnto) {
            return Outcome([&] { factory.Rename(dest, "staged.bin", name); });
        }
        const SharedFileMode modes[] = {SharedFileMode::OpenOrCreate, SharedFileMode::CreateNew,
                                        static_cast<SharedFileMode>(7), SharedFileMode::OpenExisting};
        std::shared_ptr<SharedFile> file;
        const std::string outcome = Outcome([&] {
            file = factory.Create(dest, name, modes[static_cast<int>(action)], 0, WholeFileUpperBound);
        });
        if (!file) {
            return outcome;
        }
        if (action == Action::OpenExisting) {
            // An existing file is opened as it is (a source to read), but it shows its other names and
            // none of them becomes a program through it.
            EXPECT_EQ(file->Identity().links, 2u);
            EXPECT_FALSE(file->AllowExecute());
            return outcome;
        }
        // As the file works do: allocate, write through a view, let it run.
        EXPECT_TRUE(file->Allocate(8)) << "a file of its own starts empty";
        file->Map(0, 7)->Write("PACKAGE!", 8);
        EXPECT_TRUE(file->AllowExecute());
        return outcome;
    }

    void ExpectReal(const std::string& name) {
        const std::vector<std::string> components = SplitName(name);
        std::string path = dest;
        for (std::size_t i = 0; i < components.size(); ++i) {
            path += "/" + components[i];
            struct stat st {};
            ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
            if (i + 1 < components.size()) {
                EXPECT_TRUE(S_ISDIR(st.st_mode)) << path << " is a real folder";
            } else {
                EXPECT_TRUE(S_ISREG(st.st_mode)) << path << " is a real file";
                EXPECT_EQ(st.st_nlink, 1u) << path << " has no other name";
            }
        }
        EXPECT_EQ(test::ReadFileText(path), "PACKAGE!");
    }

    test::ScratchFolder scratch;
    const std::string dest = scratch / "dest";
    const std::string outside = scratch / "outside";
    PosixSharedFileFactory factory;
};
HALCYNE_BOTH_PATH_RESOLUTIONS(DestinationLinkTest);

TEST_P(DestinationLinkTest, NothingOutsideTheDestinationChangesAndThePackageGetsRealFiles) {
    const Expected replaced{"none", After::Real};
    const Expected refused{"BadPath", After::AsPlanted};
    const Plant plants[] = {
        {"a link at the file's place to an outside file",
         "game/data.bin",
         [](const std::string& d, const std::string& o) {
             fs::create_directories(d + "/game");
             fs::create_symlink(o + "/victim.bin", d + "/game/data.bin");
         },
         {replaced, replaced, replaced, refused, {"true", After::Gone}, replaced}},
        {"a link at the file's place to a missing outside file",
         "game/data.bin",
         [](const std::string& d, const std::string& o) {
             fs::create_directories(d + "/game");
             fs::create_symlink(o + "/new.bin", d + "/game/data.bin");
         },
         {replaced, replaced, replaced, refused, {"true", After::Gone}, replaced}},
        {"a link at an intermediate folder to an outside folder",
         "game/bin/data.bin",
         [](const std::string& d, const std::string& o) {
             fs::create_directories(d + "/game");
             fs::create_symlink(o + "/dir", d + "/game/bin");
         },
         // Modes that create no folders leave a folder link alone and refuse it.
         {replaced, replaced, refused, refused, {"false", After::AsPlanted}, refused}},
        {"a link at the top folder of the name (a skin folder) to an outside folder",
         "skin/data.bin",
         [](const std::string& d, const std::string& o) { fs::create_symlink(o + "/dir", d + "/skin"); },
         {replaced, replaced, refused, refused, {"false", After::AsPlanted}, refused}},
        {"a second name (hard link) of an outside file at the file's place",
         "game/data.bin",
         [](const std::string& d, const std::string& o) {
             fs::create_directories(d + "/game");
             fs::create_hard_link(o + "/victim.bin", d + "/game/data.bin");
         },
         // CreateNew finds a file there, as for any existing file; OpenExisting opens it to be read.
         {replaced,
          {"InUse", After::AsPlanted},
          replaced,
          {"none", After::AsPlanted},
          {"true", After::Gone},
          replaced}},
        {"a file where a folder belongs",
         "game/bin/data.bin",
         [](const std::string& d, const std::string&) {
             fs::create_directories(d + "/game");
             test::WriteFileText(d + "/game/bin", "not a folder");
         },
         {refused, refused, refused, refused, {"false", After::AsPlanted}, refused}},
    };
    for (const Plant& plant : plants) {
        for (const Action action : Actions) {
            const int index = static_cast<int>(action);
            SCOPED_TRACE(std::string(plant.label) + ", " + ActionNames[index]);
            fs::remove_all(dest);
            fs::create_directories(dest);
            plant.make(dest, outside);
            test::WriteFileText(dest + "/staged.bin", "PACKAGE!");  // what Rename puts in place
            const auto outsideBefore = Tree(outside);
            const auto destBefore = Tree(dest);

            EXPECT_EQ(Run(action, plant.name), plant.expected[index].outcome);

            EXPECT_EQ(Tree(outside), outsideBefore) << "nothing outside the destination changes";
            switch (plant.expected[index].after) {
                case After::Real:
                    ExpectReal(plant.name);
                    break;
                case After::Gone: {
                    struct stat st {};
                    EXPECT_NE(::lstat((dest + "/" + plant.name).c_str(), &st), 0);
                    break;
                }
                case After::AsPlanted:
                    EXPECT_EQ(Tree(dest), destBefore);
                    break;
            }
        }
    }
}

TEST_P(DestinationLinkTest, RenameReplacesTheTargetItselfAndNeverMovesALink) {
    struct Case {
        const char* label;
        std::string from, to;
        std::string outcome;
        std::string toAfter;  // the text at `to` afterwards; empty: no file there
        bool fromStays;
    };
    const Case cases[] = {
        {"onto an existing file", "a.part", "a.bin", "none", "new", false},
        {"onto a missing name", "a.part", "fresh.bin", "none", "new", false},
        {"into a subfolder, leading '/'", "/a.part", "/sub/a.bin", "none", "new", false},
        {"from a missing file", "missing.part", "a.bin", "BadPath", "old", false},
        {"from a link", "link.part", "a.bin", "BadPath", "old", true},
        {"onto a folder", "a.part", "sub", "BadPath", "", true},
        {"into a missing folder", "a.part", "nowhere/a.bin", "BadPath", "", true},
        {"out of the folder", "a.part", "../a.bin", "BadPath", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(dest);
        fs::create_directories(dest + "/sub");
        test::WriteFileText(dest + "/a.part", "new");
        test::WriteFileText(dest + "/a.bin", "old");
        test::WriteFileText(dest + "/sub/a.bin", "old");
        fs::create_symlink(outside + "/victim.bin", dest + "/link.part");
        const auto outsideBefore = Tree(outside);

        EXPECT_EQ(Outcome([&] { factory.Rename(dest, c.from, c.to); }), c.outcome);

        const std::string to = dest + "/" + c.to;
        if (c.toAfter.empty()) {
            EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(to)));
        } else {
            EXPECT_EQ(test::ReadFileText(to), c.toAfter);
        }
        EXPECT_EQ(fs::exists(fs::symlink_status(dest + "/" + c.from)), c.fromStays);
        EXPECT_EQ(Tree(outside), outsideBefore);
        EXPECT_FALSE(fs::exists(scratch / "a.bin"));
    }
}

// A file built beside the old one and put in its place: the open file is the renamed one, not a copy.
TEST_P(DestinationLinkTest, AFileKeepsItsIdentityThroughSyncAndRename) {
    test::WriteFileText(dest + "/game.bin", "old!");
    const auto old = factory.Create(dest, "game.bin", SharedFileMode::OpenExisting, 0, WholeFileUpperBound);
    const auto staged =
        factory.Create(dest, "game.bin.part", SharedFileMode::CreateNew, 0, WholeFileUpperBound);
    ASSERT_TRUE(staged->Allocate(4));
    staged->Map(0, 3)->Write("new!", 4);
    staged->Sync();
    EXPECT_FALSE(staged->Identity().SameFile(old->Identity()));

    factory.Rename(dest, "game.bin.part", "game.bin");

    const auto reopened =
        factory.Create(dest, "game.bin", SharedFileMode::OpenExisting, 0, WholeFileUpperBound);
    EXPECT_TRUE(reopened->Identity().SameFile(staged->Identity()));
    EXPECT_EQ(reopened->Identity().links, 1u);
    EXPECT_EQ(test::ReadFileText(dest + "/game.bin"), "new!");
    EXPECT_FALSE(fs::exists(dest + "/game.bin.part"));
}

}  // namespace
}  // namespace halcyne
