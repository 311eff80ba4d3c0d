#include "support/VirtualDisplay.hpp"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace halcyne::test {

VirtualDisplay::VirtualDisplay() {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        return;
    }
    // The server picks a free display number itself and writes it to descriptor 3 once it accepts
    // connections, so tests running at the same time (in other processes or checkouts) never share one.
    const char* const arguments[] = {"Xvfb",    "-displayfd", "3",          "-nolisten", "tcp",
                                     "-screen", "0",          "800x600x24", nullptr};
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Ends with the thread that started it; its output goes nowhere, so that it never holds the pipes a
        // test runner reads to the end (ctest waits for them to close).
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = ::open("/dev/null", O_RDWR);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0 ||
            ::dup2(ready[1], 3) < 0) {
            ::_exit(127);
        }
        ::close_range(4, ~0U, 0);
        ::execvp("Xvfb", const_cast<char* const*>(arguments));
        ::_exit(127);
    }
    ::close(ready[1]);
    if (pid < 0) {
        ::close(ready[0]);
        return;
    }
    std::string number;
    pollfd wait{ready[0], POLLIN, 0};
    for (char c = 0; number.empty() || number.back() != '\n';) {
        const int polled = ::poll(&wait, 1, 10000);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0 || ::read(ready[0], &c, 1) != 1) {
            break;
        }
        number += c;
    }
    ::close(ready[0]);
    if (number.size() < 2 || number.back() != '\n') {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return;
    }
    number.pop_back();
    pid_ = pid;
    name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
}

}  // namespace halcyne::test
