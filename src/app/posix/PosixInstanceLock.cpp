#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "app/InstanceLock.hpp"
#include "common/Paths.hpp"

namespace halcyne::Updater {

InstanceLock::InstanceLock(const std::string& folder) {
    const std::string path = JoinPath(folder, "updater.lock");
    descriptor_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor_ < 0) {
        error_ = path + ": " + std::strerror(errno);
        return;
    }
    while (::flock(descriptor_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        if (errno == EWOULDBLOCK) {
            heldByAnother_ = true;
        } else {
            error_ = path + ": " + std::strerror(errno);
        }
        ::close(descriptor_);
        descriptor_ = -1;
        return;
    }
}

InstanceLock::~InstanceLock() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

}  // namespace halcyne::Updater
