// An installed package updated by the transfer driver (a child process running one transfer through
// DownloadEngine), disrupted in the ways an update meets: killed with SIGKILL at random moments, a disk that
// fills up (the file size limit), a manifest that declares more bytes than any disk holds. Whatever happens,
// every file of the install is byte for byte either its old or its new version (the old one the very same
// file, never rewritten), only chunks that differ from the old file are downloaded, and once a run is let
// finish the new version is in place with no sibling left.
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/DeliveryService.hpp"
#include "support/SiteWriter.hpp"
#include "support/TestSupport.hpp"

namespace halcyne {
namespace {

using namespace halcyne::test;

constexpr std::uint32_t Chunk = 16 * 1024;

// `content` with one byte changed in every `step`-th chunk, from chunk `first`.
std::string EveryNthChunkChanged(std::string content, std::size_t first, std::size_t step) {
    for (std::size_t chunk = first; chunk * Chunk < content.size(); chunk += step) {
        content[chunk * Chunk + 100] ^= 0x33;
    }
    return content;
}

ino_t InodeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class StagedUpdateTest : public ::testing::Test {
protected:
    struct Installed {
        std::string path;
        std::string old;
        std::string fresh;
    };

    StagedUpdateTest() : tmpdir_("TMPDIR", scratch_ / "tmp") {
        std::filesystem::create_directories(scratch_ / "tmp");
        const std::string run = RandomBytes(60000, 1);
        const std::string grow = RandomBytes(800000, 2);
        const std::string same = RandomBytes(500000, 3);
        files_ = {
            {"bin/run.sh", EveryNthChunkChanged(run, 2, 9), run},  // the same length, one chunk differs
            {"data/grow.bin", grow.substr(0, 200000), grow},       // a new length
            {"data/same.bin", EveryNthChunkChanged(same, 0, 3), same},
        };
        package_.chunkSize = Chunk;
        package_.run = "bin/run.sh";
        for (const Installed& file : files_) {
            package_.files.push_back({file.path, file.fresh, ""});
            std::filesystem::create_directories(std::filesystem::path(Dest(file.path)).parent_path());
            WriteFileText(Dest(file.path), file.old);
            inodes_.push_back(InodeOf(Dest(file.path)));
        }
        manifest_ = site_.PublishPackage(package_);
        service_ = std::make_unique<LocalDeliveryService>(
            LocalDeliveryService::Options{.site = site_.Folder(), .content = {}, .nodes = 3});
        site_.PublishNodeList("P", service_->Nodes());
    }

    std::string Dest(const std::string& path = "") const { return scratch_ / ("dest/" + path); }

    // Runs the driver (under a file size limit of `sizeLimit` bytes when not 0), kills it with SIGKILL after
    // `killAfter` when given, and returns its wait status.
    int RunDriver(std::optional<std::chrono::milliseconds> killAfter = {}, std::size_t sizeLimit = 0) {
        const std::string driver = BuiltProgram("tests/transfer_driver");
        const std::string host = service_->ManifestHost();
        const std::string dest = Dest();
        const std::string idFile = scratch_ / "id";
        std::string program = driver;
        std::vector<std::string> arguments = {driver, host, dest, idFile};
        if (sizeLimit != 0) {
            // SIGXFSZ is ignored so that growing past the limit fails with EFBIG, as on a full disk; dash
            // counts the limit in blocks of 512 bytes. The driver is the script's $0.
            program = "/bin/sh";
            arguments.insert(
                arguments.begin(),
                {program, "-c",
                 "trap '' XFSZ; ulimit -f " + std::to_string(sizeLimit / 512) + "; exec \"$0\" \"$@\""});
        }
        std::vector<char*> argv;
        for (std::string& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
        if (killAfter) {
            std::this_thread::sleep_for(*killAfter);
            ::kill(pid, SIGKILL);
        }
        int status = -1;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        return status;
    }

    // Every file is its old version (the same file, untouched) or its new one; every chunk requested from a
    // node is one that differs from the old file.
    void ExpectOldOrNew(const std::string& when) {
        for (std::size_t i = 0; i < files_.size(); ++i) {
            const Installed& file = files_[i];
            const std::string content = ReadFileText(Dest(file.path));
            if (content == file.old) {
                EXPECT_EQ(InodeOf(Dest(file.path)), inodes_[i]) << file.path << " " << when;
            } else {
                EXPECT_TRUE(content == file.fresh) << file.path << " is neither version " << when;
            }
        }
        for (const auto& request : service_->Records().requests) {
            if (request.server.rfind("node", 0) != 0 || request.range.empty()) {
                continue;
            }
            const std::string path = request.path.substr(request.path.find("/V/") + 3);
            const std::uint64_t first = std::stoull(request.range.substr(request.range.find('=') + 1));
            for (const Installed& file : files_) {
                if (file.path == path) {
                    const std::size_t length = std::min<std::size_t>(Chunk, file.fresh.size() - first);
                    EXPECT_FALSE(file.old.size() >= first + length &&
                                 file.old.compare(first, length, file.fresh, first, length) == 0)
                        << path << " bytes " << first << " were intact on disk " << when;
                }
            }
        }
    }

    std::vector<std::string> SiblingsLeft() const {
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(Dest())) {
            if (entry.path().string().find(".halcyne-part") != std::string::npos) {
                left.push_back(entry.path().string());
            }
        }
        return left;
    }

    ScratchFolder scratch_;
    ScopedEnvironment tmpdir_;
    SiteWriter site_{scratch_ / "site"};
    SitePackage package_;
    std::vector<Installed> files_;
    std::vector<ino_t> inodes_;
    std::string manifest_;
    std::unique_ptr<LocalDeliveryService> service_;
};

TEST_F(StagedUpdateTest, NoDisruptionLeavesAnythingButTheOldOrTheNewVersion) {
    const unsigned seed = std::random_device()();
    std::cout << "seed " << seed << std::endl;
    std::mt19937 random(seed);
    struct Case {
        const char* name;
        std::function<void()> disrupt;  // runs the driver in a way that does not let it complete
        std::function<void()> heal;
    };
    const Case cases[] = {
        {"killed at random moments",
         [&] {
             service_->AddFault({.server = "", .path = "/packages/", .rate = 100000});
             for (int run = 0; run < 20; ++run) {
                 RunDriver(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 600)(random)));
                 ExpectOldOrNew("after kill " + std::to_string(run) + " (seed " + std::to_string(seed) + ")");
             }
         },
         [&] { service_->ClearFaults(); }},
        {"a full disk",
         [&] {
             // Room for the run file and data/same.bin, not for data/grow.bin.
             const int status = RunDriver({}, 600 * 1024);
             EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
             EXPECT_TRUE(ReadFileText(Dest("data/grow.bin")) == files_[1].old) << "data/grow.bin changed";
             EXPECT_FALSE(std::filesystem::exists(Dest("data/grow.bin.halcyne-part")));
         },
         [] {}},
        {"a manifest declaring 2^40 bytes",
         [&] {
             const std::regex grow("<file><path>data/grow.bin</path>.*?</file>");
             const std::string huge =
                 "<file><path>data/grow.bin</path><chunksize>2147483648</chunksize>"
                 "<size>1099511627776</size><checksums>" +
                 std::string(512 * 8, '0') + "</checksums></file>";
             const std::string declared = std::regex_replace(manifest_, grow, huge);
             ASSERT_NE(declared, manifest_);
             site_.WriteText("manifests/K/V.xml", declared);
             site_.WriteText("manifests/K/current.xml", declared);
             const int status = RunDriver();
             EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
             EXPECT_TRUE(ReadFileText(Dest("data/grow.bin")) == files_[1].old) << "data/grow.bin changed";
             EXPECT_FALSE(std::filesystem::exists(Dest("data/grow.bin.halcyne-part")));
         },
         [&] { manifest_ = site_.PublishPackage(package_); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Dest());
        std::filesystem::remove(scratch_ / "id");
        inodes_.clear();
        for (const Installed& file : files_) {
            std::filesystem::create_directories(std::filesystem::path(Dest(file.path)).parent_path());
            WriteFileText(Dest(file.path), file.old);
            inodes_.push_back(InodeOf(Dest(file.path)));
        }
        service_->ClearRecords();
        c.disrupt();
        ExpectOldOrNew("after the disruption");

        c.heal();
        service_->ClearRecords();
        const int status = RunDriver();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        ExpectOldOrNew("in the last run");
        for (const Installed& file : files_) {
            EXPECT_TRUE(ReadFileText(Dest(file.path)) == file.fresh)
                << file.path << " is not the new version";
        }
        EXPECT_EQ(SiblingsLeft(), std::vector<std::string>{});
        // The run file may be executed now.
        EXPECT_EQ(
            std::filesystem::status(Dest("bin/run.sh")).permissions() & std::filesystem::perms::owner_exec,
            std::filesystem::perms::owner_exec);
    }
}

}  // namespace
}  // namespace halcyne
