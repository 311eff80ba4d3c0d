// The process launcher on Linux: posix_spawn, and waitpid for the one child it started. Launch runs on the
// caller's thread (the monitor thread) and blocks it while it waits. Calls nothing back.
#pragma once

#include <optional>

#include "app/SimpleProcess.hpp"
#include "file/FileIdentity.hpp"

namespace halcyne::Updater {

class PosixProcess : public SimpleProcess {
public:
    // Starts whatever file the program path names when Launch runs.
    explicit PosixProcess(std::string programPath) : SimpleProcess(std::move(programPath)) {}
    // Starts the program only if the path names exactly the file `expected` (its device and inode), the one
    // that was verified: the path is opened without following a symbolic link in its last component, the
    // open file is compared, and that open file is what gets executed, so a file put in its place after the
    // comparison is never started. A symbolic link, another file, anything but a regular file and an
    // unknown identity (all zero) are refused: Launch returns false and nothing is started. The program
    // receives its path as argv[0], as usual; a script's interpreter gets /proc/self/fd/N as the script's
    // name (N the descriptor of the verified file, which the program inherits), so /proc must be mounted.
    PosixProcess(std::string programPath, const FileIdentity& expected)
        : SimpleProcess(std::move(programPath)), expected_(expected) {}

    // The arguments are split with SplitCommandLine and follow the program path as argv[0]. The child starts
    // with an empty signal mask and every signal at its default disposition, in the working folder (the
    // program's parent folder when empty). False when the program cannot be started (missing, not
    // executable, bad working folder) or, with `wait`, when the wait fails. Without `wait`, a detached thread
    // reaps the child when it exits. Only this child is ever waited for; a SIGCHLD that the process ignores
    // (which would let the kernel reap children by itself) is set back to its default first.
    bool Launch(bool wait, const std::string& arguments, const std::string& workingFolder) override;

private:
    std::optional<FileIdentity> expected_;
};

}  // namespace halcyne::Updater
