#include "file/posix/PosixFaultGuard.hpp"

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <mutex>

#include <signal.h>
#include <ucontext.h>

namespace halcyne::detail {

namespace {

// One active guard. Frames live on the stack of RunFaultGuarded and form a per-thread chain.
struct GuardFrame {
    sigjmp_buf jump;
    sigset_t maskAtFault;  // the thread's signal mask when the fault happened, restored after the jump
    std::uintptr_t begin;
    std::uintptr_t end;
    GuardFrame* outer;
};

// The innermost active guard of this thread. Plain pointer with static initialisation, so that the signal
// handler can read it without calling anything.
thread_local GuardFrame* innermost = nullptr;

struct sigaction previousAction {};
std::once_flag installOnce;

void PassOn(int signal, siginfo_t* info, void* context) {
    if ((previousAction.sa_flags & SA_SIGINFO) != 0 && previousAction.sa_sigaction != nullptr) {
        previousAction.sa_sigaction(signal, info, context);
        return;
    }
    if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN &&
        previousAction.sa_handler != nullptr) {
        previousAction.sa_handler(signal);
        return;
    }
    // Default action: restore it and return; the faulting instruction runs again and the fault kills the
    // process as if no guard had been installed. A SIGBUS sent by another process is raised again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(SIGBUS, &fallback, nullptr);
    if (info == nullptr || info->si_code <= 0) {
        ::raise(SIGBUS);
    }
}

void OnBusError(int signal, siginfo_t* info, void* context) {
    // Only memory faults raised by the kernel (si_code > 0) carry a fault address worth looking at.
    if (info != nullptr && info->si_code > 0) {
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        for (GuardFrame* frame = innermost; frame != nullptr; frame = frame->outer) {
            if (address >= frame->begin && address < frame->end) {
                // The handler runs with SIGBUS (under some runtimes every signal) blocked; the jump
                // leaves it without restoring the mask, so the mask of the interrupted code goes along.
                frame->maskAtFault = static_cast<ucontext_t*>(context)->uc_sigmask;
                siglongjmp(frame->jump, 1);
            }
        }
    }
    PassOn(signal, info, context);
}

void Install() {
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &previousAction);
}

// Restores the outer guard however the guarded call ends (return, jump or exception).
struct FrameRestore {
    GuardFrame* outer;
    ~FrameRestore() { innermost = outer; }
};

}  // namespace

bool RunFaultGuarded(const void* begin, std::size_t length, void (*call)(void*), void* context) {
    std::call_once(installOnce, Install);
    GuardFrame frame;
    frame.begin = reinterpret_cast<std::uintptr_t>(begin);
    frame.end = frame.begin + length;
    frame.outer = innermost;
    const FrameRestore restore{frame.outer};
    // The handler writes into the frame through this pointer; reading it back through the same pointer
    // (which does not change after sigsetjmp) keeps the read from a stale copy.
    GuardFrame* const self = &frame;
    // No mask is saved here (that would be a system call on every guarded access); after a fault the
    // mask of the faulting moment is put back, since a fault while SIGBUS stays blocked kills the process.
    if (sigsetjmp(frame.jump, 0) != 0) {
        ::pthread_sigmask(SIG_SETMASK, &self->maskAtFault, nullptr);
        return false;  // `restore` puts the outer guard back
    }
    innermost = self;
    call(context);
    return true;
}

}  // namespace halcyne::detail
