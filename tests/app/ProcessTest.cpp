#include <atomic>
#include <csignal>
#include <functional>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/posix/PosixProcess.hpp"
#include "support/TestSupport.hpp"

namespace halcyne::Updater {
namespace {

TEST(SplitCommandLineTest, QuotesGroupAndNothingIsEscaped) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"a", {"a"}},
        {" /id \"abc\" /package \"x y\"", {"/id", "abc", "/package", "x y"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\"tab\there\"", {"tab\there"}},
        {"\"unterminated rest", {"unterminated rest"}},
        {"back\\slash \"\\\"", {"back\\slash", "\\"}},
        {"a\tb  c", {"a", "b", "c"}},
        {"\xC3\xA9t\xC3\xA9 \"\xE6\x97\xA5 \xE6\x9C\xAC\"",
         {"\xC3\xA9t\xC3\xA9", "\xE6\x97\xA5 \xE6\x9C\xAC"}},
    };
    for (const auto& [line, words] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(SplitCommandLine(line), words);
    }
}

// The probe's report: its lines, or empty when it wrote none.
std::vector<std::string> ReportLines(const std::string& path) {
    std::vector<std::string> lines;
    if (!boost::filesystem::exists(path)) {
        return lines;
    }
    std::istringstream in(test::ReadFileText(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& line : lines) {
        if (line.rfind(prefix, 0) == 0) {
            found.push_back(line.substr(prefix.size()));
        }
    }
    return found;
}

class PosixProcessTest : public ::testing::Test {
protected:
    std::string Report() const { return scratch / "report"; }
    test::ScratchFolder scratch;
    test::ScopedEnvironment output{"HALCYNE_PROBE_OUTPUT", scratch / "report"};
};

TEST_F(PosixProcessTest, StartsTheProgramWithItsArgumentsInTheWorkingFolderAndWaits) {
    PosixProcess process(PROCESS_PROBE);
    test::ScopedEnvironment exitCode("HALCYNE_PROBE_EXIT", "3");  // an exit status is no failure
    ASSERT_TRUE(process.Launch(true, " /id \"a b\" /x \"\" \"q\"r", scratch.Path()));
    const auto lines = ReportLines(Report());
    EXPECT_EQ(Matching(lines, "cwd="),
              std::vector<std::string>{boost::filesystem::canonical(scratch.Path()).string()});
    EXPECT_EQ(Matching(lines, "arg="),
              (std::vector<std::string>{PROCESS_PROBE, "/id", "a b", "/x", "", "qr"}));

    // Without a working folder the program runs in its own folder.
    boost::filesystem::remove(Report());
    ASSERT_TRUE(process.Launch(true, "", ""));
    EXPECT_EQ(
        Matching(ReportLines(Report()), "cwd="),
        std::vector<std::string>{
            boost::filesystem::canonical(boost::filesystem::path(PROCESS_PROBE).parent_path()).string()});
}

TEST_F(PosixProcessTest, ChildStartsWithNoBlockedOrIgnoredSignals) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR2, &ignore, &previous), 0);
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    sigaddset(&block, SIGTERM);
    sigset_t oldMask;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &oldMask), 0);
    const bool launched = PosixProcess(PROCESS_PROBE).Launch(true, "", "");
    ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    ::sigaction(SIGUSR2, &previous, nullptr);

    ASSERT_TRUE(launched);
    const auto lines = ReportLines(Report());
    EXPECT_EQ(Matching(lines, "SigBlk:\t"), std::vector<std::string>{"0000000000000000"});
    // Signals 32 and 33 belong to the C library's threads (no program sees them; it installs their handlers
    // itself when it needs them), and posix_spawn sets them as it likes.
    const auto ignored = Matching(lines, "SigIgn:\t");
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(std::stoull(ignored[0], nullptr, 16) & ~0x180000000ull, 0u) << ignored[0];
}

TEST_F(PosixProcessTest, FailsWhenTheProgramCannotBeStarted) {
    test::WriteFileText(scratch / "plain", "#!/bin/sh\nexit 0\n");
    ::chmod((scratch / "plain").c_str(), 0644);
    test::WriteFileText(scratch / "script", "#!/bin/sh\necho \"$@\" > \"$HALCYNE_PROBE_OUTPUT\"\n");
    ::chmod((scratch / "script").c_str(), 0755);
    struct Case {
        const char* label;
        std::string program;
        std::string folder;
        bool expected;
    };
    const Case cases[] = {
        {"missing file", scratch / "missing", "", false},
        {"not executable", scratch / "plain", "", false},
        {"a folder", scratch.Path(), "", false},
        {"empty path", "", "", false},
        {"missing working folder", PROCESS_PROBE, scratch / "nowhere", false},
        {"a script", scratch / "script", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(PosixProcess(c.program).Launch(true, "\"x\"", c.folder), c.expected);
        if (!c.expected) {
            EXPECT_FALSE(PosixProcess(c.program).Launch(false, "\"x\"", c.folder));
        }
    }
}

FileIdentity IdentityOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
    return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
            static_cast<std::uint64_t>(status.st_nlink)};
}

TEST_F(PosixProcessTest, WithAnIdentityOnlyThatFileIsStarted) {
    // Each case gets a program at `program` whose identity is taken as the verified one, then `arrange`
    // may change what the path names before the launch.
    const std::string program = scratch / "bin/downloader";
    const auto install = [&](const std::string& path, const std::string& script) {
        if (script.empty()) {
            boost::filesystem::copy_file(PROCESS_PROBE, path,
                                         boost::filesystem::copy_options::overwrite_existing);
        } else {
            test::WriteFileText(path, script);
        }
        ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    };
    const std::string intruder = "#!/bin/sh\necho intruder > \"$HALCYNE_PROBE_OUTPUT\"\n";
    struct Case {
        const char* label;
        std::string program;  // "" for the probe, else a script
        std::function<void(FileIdentity&)> arrange;
        std::vector<std::string> arguments;  // the arguments the started program reports; empty: not started
    };
    const std::vector<Case> cases = {
        {"the verified program", "", [](FileIdentity&) {}, {"arg=" + program, "arg=x"}},
        {"a verified script runs through the verified file",
         "#!/bin/sh\necho \"script $1\" > \"$HALCYNE_PROBE_OUTPUT\"\n",
         [](FileIdentity&) {},
         {"script x"}},
        {"replaced after its verification",
         "",
         [&](FileIdentity&) {
             install(scratch / "bin/new", intruder);
             boost::filesystem::rename(scratch / "bin/new", program);
         },
         {}},
        {"a symbolic link to the verified file",
         "",
         [&](FileIdentity&) {
             boost::filesystem::rename(program, scratch / "bin/real");
             boost::filesystem::create_symlink(scratch / "bin/real", program);
         },
         {}},
        {"an unknown identity", "", [](FileIdentity& identity) { identity = FileIdentity{}; }, {}},
        {"missing", "", [&](FileIdentity&) { boost::filesystem::remove(program); }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        boost::filesystem::remove_all(scratch / "bin");
        boost::filesystem::remove(Report());
        boost::filesystem::create_directories(scratch / "bin");
        install(program, c.program);
        FileIdentity verified = IdentityOf(program);
        c.arrange(verified);
        EXPECT_EQ(PosixProcess(program, verified).Launch(true, "\"x\"", ""), !c.arguments.empty());
        // What the started program said about its arguments (the probe also reports other lines).
        std::vector<std::string> reported = ReportLines(Report());
        std::erase_if(reported, [](const std::string& line) {
            return line.rfind("cwd=", 0) == 0 || line.rfind("Sig", 0) == 0;
        });
        EXPECT_EQ(reported, c.arguments);
    }
}

std::atomic<int> interruptions{0};
void CountInterruption(int) {
    interruptions.fetch_add(1);
}

// Real time: the probe runs until the test lets it go, and signals hit the waiting thread meanwhile.
TEST_F(PosixProcessTest, WaitsUntilTheProgramExitsThroughInterruptingSignals) {
    test::ScopedEnvironment started("HALCYNE_PROBE_STARTED", scratch / "started");
    test::ScopedEnvironment waitFor("HALCYNE_PROBE_WAIT_FOR", scratch / "go");
    struct sigaction count {};
    count.sa_handler = CountInterruption;  // no SA_RESTART: waitpid fails with EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &count, &previous), 0);

    std::atomic<bool> returned{false};
    bool result = false;
    std::thread launcher([&] {
        result = PosixProcess(PROCESS_PROBE).Launch(true, "", "");
        returned = true;
    });
    while (!boost::filesystem::exists(scratch / "started")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (int i = 0; i < 20; ++i) {
        ::pthread_kill(launcher.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(returned.load());
    EXPECT_FALSE(boost::filesystem::exists(Report()));
    test::WriteFileText(scratch / "go", "");
    launcher.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    for (int i = 0; i < 2000 && ReportLines(Report()).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // even when the wait gave up early
    }

    EXPECT_TRUE(result);
    EXPECT_GT(interruptions.load(), 0);
    EXPECT_FALSE(ReportLines(Report()).empty());  // the program had finished when the wait returned
}

TEST_F(PosixProcessTest, AnIgnoredChildSignalDoesNotTurnTheWaitIntoAFailure) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
    const bool launched = PosixProcess(PROCESS_PROBE).Launch(true, "", "");
    ::sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_TRUE(launched);
    EXPECT_FALSE(ReportLines(Report()).empty());
}

TEST_F(PosixProcessTest, WithoutWaitingTheProgramStillRuns) {
    ASSERT_TRUE(PosixProcess(PROCESS_PROBE).Launch(false, "\"later\"", ""));
    for (int i = 0; i < 2000 && ReportLines(Report()).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(Matching(ReportLines(Report()), "arg="), (std::vector<std::string>{PROCESS_PROBE, "later"}));
}

}  // namespace
}  // namespace halcyne::Updater
