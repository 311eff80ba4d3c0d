#include "support/Watchdog.hpp"

#include <cstdio>
#include <cstdlib>

namespace halcyne::test {

Watchdog::Watchdog(std::chrono::seconds limit, std::string what)
    : thread_([this, limit, what = std::move(what)] {
          std::unique_lock<std::mutex> lock(lock_);
          if (!changed_.wait_for(lock, limit, [this] { return done_; })) {
              std::fprintf(stderr, "watchdog: %s did not finish within %lld s\n", what.c_str(),
                           static_cast<long long>(limit.count()));
              std::fflush(stderr);
              std::_Exit(124);
          }
      }) {}

Watchdog::~Watchdog() {
    {
        const std::lock_guard<std::mutex> guard(lock_);
        done_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

}  // namespace halcyne::test
