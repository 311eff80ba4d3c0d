#include "app/posix/PosixShortcut.hpp"

#include <cerrno>

#include <boost/filesystem.hpp>
#include <boost/locale/encoding_utf.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/Paths.hpp"
#include "common/Uri.hpp"

namespace halcyne::Updater {
namespace {

// A name that stays a single file inside its folder.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Writes the whole content to a new file beside `path` and renames it over `path`.
bool ReplaceFile(const std::string& path, const std::string& bytes) {
    const boost::filesystem::path target(path);
    std::string temporary = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool okay = WriteAll(fd, bytes) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    okay = ::close(fd) == 0 && okay;
    if (okay && ::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
}

// Reads a shortcut file; a link in its place is not followed (whatever it leads to is no shortcut of ours).
std::optional<std::string> ReadFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ::close(fd);
            return got == 0 ? std::optional<std::string>(std::move(bytes)) : std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

std::optional<std::string> FileUrlFromPath(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    try {
        std::string encoded;
        UriEncode(boost::filesystem::absolute(path).string(), "?#", encoded);
        std::string url = "file://" + encoded;
        if (url.size() > MaximumFileUrlLength) {
            return std::nullopt;
        }
        return url;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string InternetShortcutBytes(const std::string& url) {
    const std::string text =
        "[InternetShortcut]\r\nURL=" + url + "\r\nIconFile=" + url + "\r\nIconIndex=0\r\n";
    const std::u16string units = boost::locale::conv::utf_to_utf<char16_t>(text);
    std::string bytes = "\xFF\xFE";
    for (const char16_t unit : units) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

PosixShortcut::PosixShortcut(std::string name, std::string folder)
    : SimpleShortcut(std::move(name)), fileName_(name_ + ".url"), folder_(std::move(folder)) {}

std::string PosixShortcut::FilePath() const {
    return JoinPath(folder_, fileName_);
}

bool PosixShortcut::Create(const std::string& target) {
    if (!IsPlainFileName(name_)) {
        return false;
    }
    const std::optional<std::string> url = FileUrlFromPath(target);
    if (!url) {
        return false;
    }
    try {
        return CreatePrivateFolder(folder_) && ReplaceFile(FilePath(), InternetShortcutBytes(*url));
    } catch (const std::exception&) {
        return false;
    }
}

bool PosixShortcut::CopyTo(const std::string& folder, const std::string& name) {
    if (!IsPlainFileName(name_) || !IsPlainFileName(name)) {
        return false;
    }
    try {
        const std::optional<std::string> bytes = ReadFile(FilePath());
        return bytes && ReplaceFile(JoinPath(folder, name + ".url"), *bytes);
    } catch (const std::exception&) {
        return false;
    }
}

bool PosixShortcut::RemoveFrom(const std::string& folder, const std::string& name) {
    if (!IsPlainFileName(name)) {
        return false;
    }
    try {
        return ::unlink(JoinPath(folder, name + ".url").c_str()) == 0;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace halcyne::Updater
