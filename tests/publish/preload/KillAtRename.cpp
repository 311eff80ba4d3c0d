// Preloaded (LD_PRELOAD) into a program under test: the process kills itself with SIGKILL just before its
// Nth call of rename(), N from HALCYNE_KILL_AT_RENAME, as a crash or `kill -9` at that moment would. Without
// the variable (or with 0) every call goes through. Lets a test stop the publishing tool at each of its
// steps in turn, with no hook in the tool.
#include <atomic>
#include <cstdlib>

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

extern "C" int rename(const char* from, const char* to) {
    static const long killAt = [] {
        const char* text = std::getenv("HALCYNE_KILL_AT_RENAME");
        return text == nullptr ? 0L : std::atol(text);
    }();
    static std::atomic<long> calls{0};
    if (killAt > 0 && ++calls == killAt) {
        ::kill(::getpid(), SIGKILL);
    }
    using Rename = int (*)(const char*, const char*);
    static const auto real = reinterpret_cast<Rename>(::dlsym(RTLD_NEXT, "rename"));
    return real(from, to);
}
