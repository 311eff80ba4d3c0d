// An owned file descriptor, closed when it goes away (or earlier by Close, which reports the result: a
// delayed write error shows there). Used by one thread at a time.
#pragma once

#include <utility>

#include <unistd.h>

namespace halcyne {

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    FileDescriptor(FileDescriptor&& other) noexcept : descriptor_(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            Close();
            descriptor_ = other.Release();
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { Close(); }

    int Get() const { return descriptor_; }
    explicit operator bool() const { return descriptor_ >= 0; }
    // Hands the descriptor over to the caller, who closes it.
    int Release() { return std::exchange(descriptor_, -1); }
    // Closes now; whether that succeeded (true when there was nothing to close).
    bool Close() {
        const int descriptor = Release();
        return descriptor < 0 || ::close(descriptor) == 0;
    }

private:
    int descriptor_ = -1;
};

}  // namespace halcyne
