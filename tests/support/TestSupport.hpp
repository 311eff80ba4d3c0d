// Helpers shared by the tests: scratch folders, environment overrides, running programs.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace halcyne::test {

// A fresh folder under the build tree, removed with its contents at the end of the scope.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& Path() const { return path_; }
    // Path() + "/" + relative.
    std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for the scope, restoring it afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, std::optional<std::string> value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

struct ProcessResult {
    int exitStatus = -1;  // the exit code, or 128 + signal
    std::string output;   // standard output
    std::string errors;   // standard error
};

// Runs a program with arguments (no shell), standard input closed, and collects its output. `environment`
// entries ("NAME=value") are added to the inherited environment, replacing inherited entries of that name.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment = {});

// A resource limit for RunInChildProcess: `resource` is an RLIMIT_* value, `value` the soft and hard limit.
struct ResourceLimit {
    int resource;
    unsigned long long value;
};

// Runs `body` in a forked child process with `limits` applied and SIGXFSZ ignored (so that a write past
// RLIMIT_FSIZE fails with EFBIG instead of killing the child), and waits for it. `output` is the text the
// body returned; exitStatus is 0 when it returned, 1 when it threw (`output` is then the exception's
// what()), and 128 + signal when the child was killed. Keep bodies small: they run in a copy of the test
// process that has only the calling thread.
ProcessResult RunInChildProcess(const std::function<std::string()>& body,
                                const std::vector<ResourceLimit>& limits = {});

// Stops a child process that the caller started: SIGTERM, then SIGKILL when it is still running after 5 s;
// reaps it and sets `pid` to -1. Does nothing when `pid` is not positive.
void StopChildProcess(pid_t& pid);

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

// Paths of the build: programs built by the project live under BinaryDir() (src/halcyne-updater,
// tools/halcyne-stamp, tests/<program>).
std::string SourceDir();
std::string BinaryDir();
std::string BuiltProgram(const std::string& relativePath);  // BinaryDir() + "/" + relativePath

// Stamps a copy of the built updater at `output` for the tests' deployment: manifest service
// `manifestHost`, downloader package DP/DK, skin GP/GK/SK, title "Emberline", data folder `dataFolder`,
// then the `extra` arguments of the stamping tool (for example {"--set", "133=KEY"}). Returns the tool's
// result.
ProcessResult StampTestUpdater(const std::string& output, const std::string& manifestHost,
                               const std::string& dataFolder, const std::vector<std::string>& extra = {});

// Copies the built window module (src/libhalcyne-gtk.so) beside a copy of the updater at `updater`, where
// that copy looks for it; a stamped copy without it runs in the terminal.
void PlaceWindowModuleBeside(const std::string& updater);

// `size` pseudo-random bytes, the same for the same seed.
std::string RandomBytes(std::size_t size, unsigned seed);

// A size field of /proc/self/status ("VmRSS", "VmHWM", "RssAnon"), in KiB; -1 when it is not there.
long ProcessStatusKiB(const std::string& field);

}  // namespace halcyne::test
