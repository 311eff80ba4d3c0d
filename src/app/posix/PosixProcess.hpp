// The process launcher on Linux: posix_spawn, and waitpid for the one child it started. Launch runs on the
// caller's thread (the monitor thread) and blocks it while it waits. Calls nothing back.
#pragma once

#include "app/SimpleProcess.hpp"

namespace halcyne::Updater {

class PosixProcess : public SimpleProcess {
public:
    using SimpleProcess::SimpleProcess;

    // The arguments are split with SplitCommandLine and follow the program path as argv[0]. The child starts
    // with an empty signal mask and every signal at its default disposition, in the working folder (the
    // program's parent folder when empty). False when the program cannot be started (missing, not
    // executable, bad working folder) or, with `wait`, when the wait fails. Without `wait`, a detached thread
    // reaps the child when it exits. Only this child is ever waited for; a SIGCHLD that the process ignores
    // (which would let the kernel reap children by itself) is set back to its default first.
    bool Launch(bool wait, const std::string& arguments, const std::string& workingFolder) override;
};

}  // namespace halcyne::Updater
