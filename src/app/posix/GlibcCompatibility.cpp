// Functions of the C library newer than the oldest one the player archive supports, for the statically linked
// libstdc++ (std::random_device asks arc4random for its default token). Defined in the executable and in the
// window module themselves, so that the link never binds them to the system's C library, which may lack them.
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

// Fills the buffer from the kernel's random source; aborts when there is none, as the C library's own
// arc4random does rather than returning predictable bytes.
void FillRandom(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(bytes, size, 0);
        if (got > 0) {
            bytes += got;
            size -= static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got < 0 && errno == ENOSYS) {
            const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                std::abort();
            }
            while (size > 0) {
                const ssize_t read_now = read(fd, bytes, size);
                if (read_now > 0) {
                    bytes += read_now;
                    size -= static_cast<std::size_t>(read_now);
                } else if (read_now < 0 && errno == EINTR) {
                    continue;
                } else {
                    std::abort();
                }
            }
            close(fd);
        } else {
            std::abort();
        }
    }
}

}  // namespace

extern "C" {

std::uint32_t arc4random() noexcept {
    std::uint32_t value = 0;
    FillRandom(&value, sizeof value);
    return value;
}

void arc4random_buf(void* buffer, std::size_t size) noexcept {
    FillRandom(buffer, size);
}
}
