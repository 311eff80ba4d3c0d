#include "app/posix/PosixProcess.hpp"

#include <cerrno>
#include <csignal>
#include <thread>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/FileDescriptor.hpp"

extern char** environ;

namespace halcyne::Updater {
namespace {

// waitpid for exactly this child, retried when a signal interrupts it.
bool WaitForChild(pid_t pid) {
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// A SIGCHLD that is ignored (or SA_NOCLDWAIT) makes the kernel reap children by itself, and waitpid would
// then fail for a program that ran fine. Ignoring SIGCHLD is inherited across exec, so the updater may have
// been started that way; the default disposition ignores the signal just the same but keeps the child
// waitable. A handler that someone installed is kept.
void KeepChildrenWaitable() {
    struct sigaction current {};
    if (::sigaction(SIGCHLD, nullptr, &current) != 0) {
        return;
    }
    if (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0) {
        if (current.sa_handler == SIG_IGN) {
            current.sa_handler = SIG_DFL;
        }
        current.sa_flags &= ~SA_NOCLDWAIT;
        ::sigaction(SIGCHLD, &current, nullptr);
    }
}

// The program opened without following a symbolic link at its path, when the open file is a regular file
// and is `expected`; -1 otherwise. The descriptor is close-on-exec in this process; the caller closes it.
int OpenVerified(const std::string& program, const FileIdentity& expected) {
    const int fd = ::open(program.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat status {};
    FileIdentity found;
    if (::fstat(fd, &status) == 0) {
        found.device = static_cast<std::uint64_t>(status.st_dev);
        found.inode = static_cast<std::uint64_t>(status.st_ino);
        found.links = static_cast<std::uint64_t>(status.st_nlink);
    }
    if (!S_ISREG(status.st_mode) || !expected.SameFile(found)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class SpawnSettings {
public:
    SpawnSettings() {
        okay_ = ::posix_spawn_file_actions_init(&actions_) == 0;
        if (okay_ && ::posix_spawnattr_init(&attributes_) != 0) {
            ::posix_spawn_file_actions_destroy(&actions_);
            okay_ = false;
        }
    }
    ~SpawnSettings() {
        if (okay_) {
            ::posix_spawnattr_destroy(&attributes_);
            ::posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    // Working folder, empty signal mask, every signal at its default disposition; `inherited` (unless -1)
    // stays open across the exec (a dup2 onto itself clears its close-on-exec flag in the child only).
    bool Prepare(const std::string& workingFolder, int inherited) {
        if (!okay_) {
            return false;
        }
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        return (inherited < 0 || ::posix_spawn_file_actions_adddup2(&actions_, inherited, inherited) == 0) &&
               ::posix_spawn_file_actions_addchdir_np(&actions_, workingFolder.c_str()) == 0 &&
               ::posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               ::posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
               ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    }
    const posix_spawn_file_actions_t* Actions() const { return &actions_; }
    const posix_spawnattr_t* Attributes() const { return &attributes_; }

private:
    bool okay_ = false;
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
};

}  // namespace

bool PosixProcess::Launch(bool wait, const std::string& arguments, const std::string& workingFolder) {
    if (programPath_.empty()) {
        return false;
    }
    // Absolute, so that the change of folder before the program starts does not move it.
    std::string program;
    std::string folder;
    try {
        const boost::filesystem::path path = boost::filesystem::absolute(programPath_);
        program = path.string();
        folder = workingFolder.empty() ? path.parent_path().string() : workingFolder;
    } catch (const std::exception&) {
        return false;
    }

    std::vector<std::string> words = SplitCommandLine(arguments);
    std::vector<char*> argv;
    argv.reserve(words.size() + 2);
    argv.push_back(program.data());
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    // With an expected identity the child executes the verified open file through its descriptor, never
    // the path again: a file swapped in after the comparison is not what runs. A script's interpreter opens
    // the same name, so the descriptor must stay open in the child.
    const FileDescriptor verified(expected_ ? OpenVerified(program, *expected_) : -1);
    if (expected_ && verified.Get() < 0) {
        return false;
    }
    const std::string executed = expected_ ? "/proc/self/fd/" + std::to_string(verified.Get()) : program;

    SpawnSettings settings;
    if (!settings.Prepare(folder, verified.Get())) {
        return false;
    }
    KeepChildrenWaitable();
    pid_t pid = 0;
    if (::posix_spawn(&pid, executed.c_str(), settings.Actions(), settings.Attributes(), argv.data(),
                      environ) != 0) {
        return false;
    }
    if (wait) {
        return WaitForChild(pid);
    }
    try {
        std::thread([pid] { WaitForChild(pid); }).detach();
    } catch (const std::exception&) {
        // Without a thread the child stays a zombie until the updater exits; it was started all the same.
    }
    return true;
}

}  // namespace halcyne::Updater
