// A virtual X display (Xvfb) for tests of the GTK window, started by the constructor and stopped by the
// destructor. Create it on a thread that outlives it (the test's main thread): the server also ends when
// that thread ends, so a test process that dies never leaves it behind.
#pragma once

#include <string>

#include <sys/types.h>

namespace halcyne::test {

class VirtualDisplay {
public:
    // Waits (at most 10 s) until the server accepts connections; Running() is false when it did not start.
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    bool Running() const { return pid_ > 0; }
    // The display's name for DISPLAY (":N").
    const std::string& Name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

}  // namespace halcyne::test
