#include "common/Paths.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <boost/filesystem.hpp>
#include <sys/stat.h>

namespace halcyne {

namespace fs = boost::filesystem;

std::string JoinPath(const std::string& base, const std::string& relative) {
    const auto start = relative.find_first_not_of('/');
    const std::string rest = start == std::string::npos ? std::string() : relative.substr(start);
    if (rest.empty()) {
        return fs::absolute(fs::path(base)).string();
    }
    return fs::absolute(fs::path(rest), fs::absolute(fs::path(base))).string();
}

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

bool CreatePrivateDirectories(const std::string& path, std::string* error) {
    if (path.empty()) {
        if (error != nullptr) {
            *error = "empty path";
        }
        return false;
    }
    // Walk the path from the root and create every missing component; an existing component must be a
    // directory (a symbolic link to one is followed).
    std::string current;
    std::size_t position = 0;
    while (position <= path.size()) {
        std::size_t next = path.find('/', position);
        if (next == std::string::npos) {
            next = path.size();
        }
        current = path.substr(0, next);
        position = next + 1;
        if (current.empty() || current.back() == '/') {
            continue;
        }
        if (::mkdir(current.c_str(), 0700) == 0) {
            continue;
        }
        const int code = errno;
        if (code == EEXIST && IsDirectory(current)) {
            continue;
        }
        if (error != nullptr) {
            *error = current + ": " + (code == EEXIST ? std::string("not a directory") : std::strerror(code));
        }
        return false;
    }
    return true;
}

std::string TemporaryDirectory(std::string* error) {
    const std::string tmpdir = Environment("TMPDIR");
    if (!tmpdir.empty() && IsDirectory(tmpdir)) {
        return tmpdir;
    }
    std::string cache = Environment("XDG_CACHE_HOME");
    if (cache.empty() || cache.front() != '/') {
        const std::string home = Environment("HOME");
        if (home.empty() || home.front() != '/') {
            if (error != nullptr) {
                *error =
                    "no usable temporary directory: TMPDIR is not an existing directory, and neither "
                    "XDG_CACHE_HOME nor HOME is an absolute path";
            }
            return std::string();
        }
        cache = home + (home.back() == '/' ? "" : "/") + ".cache";
    }
    std::string why;
    if (!CreatePrivateDirectories(cache, &why)) {
        if (error != nullptr) {
            *error = "the cache directory cannot be created: " + why;
        }
        return std::string();
    }
    return cache;
}

}  // namespace halcyne
