#include "SitePublisher.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "EngineFormats.hpp"
#include "SigningKey.hpp"
#include "common/FileDescriptor.hpp"
#include "common/Sha256.hpp"
#include "common/Utf8.hpp"
#include "manifest/ManifestText.hpp"
#include "manifest/ManifestVerifier.hpp"
#include "manifest/PackageManifest.hpp"
#include "manifest/ServerHost.hpp"

namespace halcyne::publish {

namespace fs = boost::filesystem;

namespace {

// A file being written is named ".<name>.publishing-" and six random characters, beside its place.
constexpr std::string_view TemporaryMark = ".publishing-";

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// A new file beside `target`, removed at the end of its scope unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& target) : target_(target) {
        const fs::path folder = fs::path(target).parent_path();
        boost::system::error_code error;
        if (!folder.empty()) {
            fs::create_directories(folder, error);
        }
        if (error) {
            throw PublishError("cannot create folder " + folder.string() + ": " + error.message());
        }
        path_ =
            (folder / ("." + fs::path(target).filename().string() + std::string(TemporaryMark) + "XXXXXX"))
                .string();
        fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
        if (fd_ < 0) {
            throw PublishError(SystemError("cannot create a file beside", target));
        }
        // Published files are read by the web server, whoever runs it.
        ::fchmod(fd_, 0644);
    }
    ~TemporaryFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!placed_) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    int Fd() const { return fd_; }

    void WriteAll(const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t written = ::write(fd_, data, size);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw PublishError(SystemError("cannot write", target_));
            }
            data += written;
            size -= static_cast<std::size_t>(written);
        }
    }

    // Closes the file; it is renamed by Place.
    void Finish() {
        if (::close(std::exchange(fd_, -1)) != 0) {
            throw PublishError(SystemError("cannot write", target_));
        }
    }

    void Place() {
        if (fd_ >= 0) {
            Finish();
        }
        if (::rename(path_.c_str(), target_.c_str()) != 0) {
            throw PublishError(SystemError("cannot place", target_));
        }
        placed_ = true;
    }

private:
    std::string target_;
    std::string path_;
    int fd_ = -1;
    bool placed_ = false;
};

std::string Element(const std::string& name, const std::string& text) {
    return "<" + name + ">" + EscapeXml(text) + "</" + name + ">";
}

void AppendHex(std::string& text, std::uint32_t crc) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(crc));
    text.append(hex, 8);
}

// Reads from `fd` until `buffer` is full or the file ends; returns the bytes read.
std::size_t ReadFull(int fd, char* buffer, std::size_t size, const std::string& path) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw PublishError(SystemError("cannot read", path));
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// Bytes read per system call: enough for few calls, and few enough that they are still in the processor's
// cache when the checksums read them right after the kernel copied them. Writes of several MiB were also many
// times slower on ext4 with large folios.
constexpr std::size_t PieceSize = 1024 * 1024;

// The checksums of a file's bytes, fed in order in pieces of any size: one CRC per chunk and, when asked for,
// one SHA-256 per chunk, the last chunk possibly short.
class ChunkDigest {
public:
    ChunkDigest(std::uint32_t chunkSize, bool hashChunks)
        : chunkSize_(chunkSize), hash_(hashChunks ? std::make_unique<Sha256>() : nullptr) {}
    void Add(const char* bytes, std::size_t size) {
        while (size > 0) {
            const std::size_t take = std::min<std::size_t>(size, chunkSize_ - inChunk_);
            crc_ = ChunkCrc32(bytes, take, crc_);
            if (hash_) {
                hash_->Update(bytes, take);
            }
            inChunk_ += take;
            bytes += take;
            size -= take;
            if (inChunk_ == chunkSize_) {
                EndChunk();
            }
        }
    }
    // Ends the last chunk: appends the checksums to `checksums` and the chunks' digests to `chunkSha256`.
    void Finish(std::string& checksums, std::string* chunkSha256 = nullptr) {
        if (inChunk_ > 0) {
            EndChunk();
        }
        checksums += checksums_;
        if (chunkSha256 != nullptr) {
            *chunkSha256 += digests_;
        }
    }

private:
    void EndChunk() {
        AppendHex(checksums_, crc_);
        if (hash_) {
            digests_ += Sha256::ToHex(hash_->Final());
        }
        crc_ = 0;
        inChunk_ = 0;
    }

    const std::uint32_t chunkSize_;
    const std::unique_ptr<Sha256> hash_;  // none when the chunks' digests are not asked for
    std::uint32_t inChunk_ = 0;
    std::uint32_t crc_ = 0;
    std::string checksums_;
    std::string digests_;
};

// Reads the file at `from`, appending one checksum per chunk to `file.checksums` (none for an empty file).
void ReadChunks(const std::string& from, std::uint32_t chunkSize, PublishedFile& file) {
    FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (in.Get() < 0) {
        throw PublishError(SystemError("cannot open", from));
    }
    struct stat status {};
    if (::fstat(in.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        throw PublishError("not a regular file: " + from);
    }
    ::posix_fadvise(in.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    file.size = 0;
    file.checksums.clear();
    file.executable = (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
    ChunkDigest digest(chunkSize, false);
    std::unique_ptr<char[]> buffer(new char[PieceSize]);
    for (;;) {
        const std::size_t got = ReadFull(in.Get(), buffer.get(), PieceSize, from);
        digest.Add(buffer.get(), got);
        file.size += got;
        if (got < PieceSize) {
            break;
        }
    }
    digest.Finish(file.checksums);
}

// Reads bytes [offset, offset + length) of the file open as `fd` in pieces into `buffer` (PieceSize bytes)
// and hands each to `take`. PublishError naming `name` when a read fails or the file ends before. (A read
// into a buffer that stays in the processor's cache costs less than mapping the pages: on virtual machines
// every change of the page tables is dear.)
void ReadRange(int fd, std::uint64_t offset, std::uint64_t length, char* buffer, const std::string& name,
               const std::function<void(const char*, std::size_t)>& take) {
    while (length > 0) {
        const ssize_t got =
            ::pread(fd, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(length, PieceSize)),
                    static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw PublishError(SystemError("cannot read the copy of", name));
        }
        if (got == 0) {
            throw PublishError("the copy of " + name + " ended early");
        }
        take(buffer, static_cast<std::size_t>(got));
        offset += static_cast<std::uint64_t>(got);
        length -= static_cast<std::uint64_t>(got);
    }
}

// Copies up to `length` bytes of the file open as `in`, from `offset`, to the same offset of `out`: in the
// kernel while it can (no byte passes through the process, as with `cp`), else through `buffer` (PieceSize
// bytes), from then on. Returns the bytes copied: fewer only at the end of the source.
std::uint64_t CopyRange(int in, int out, std::uint64_t offset, std::uint64_t length, bool& inKernel,
                        char* buffer, const std::string& from) {
    std::uint64_t copied = 0;
    while (copied < length) {
        const std::uint64_t want = length - copied;
        if (inKernel) {
            loff_t inOffset = static_cast<loff_t>(offset + copied);
            loff_t outOffset = inOffset;
            const ssize_t done =
                ::copy_file_range(in, &inOffset, out, &outOffset, static_cast<std::size_t>(want), 0);
            if (done > 0) {
                copied += static_cast<std::uint64_t>(done);
                continue;
            }
            if (done == 0) {
                return copied;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
                errno != EBADF && errno != ETXTBSY && errno != EPERM) {
                throw PublishError(SystemError("cannot copy", from));
            }
            inKernel = false;  // file systems that cannot copy in the kernel (or between each other)
        }
        const ssize_t got =
            ::pread(in, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(want, PieceSize)),
                    static_cast<off_t>(offset + copied));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw PublishError(SystemError("cannot read", from));
        }
        if (got == 0) {
            return copied;
        }
        for (std::size_t written = 0; written < static_cast<std::size_t>(got);) {
            const ssize_t n = ::pwrite(out, buffer + written, static_cast<std::size_t>(got) - written,
                                       static_cast<off_t>(offset + copied + written));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throw PublishError(SystemError("cannot write the copy of", from));
            }
            written += static_cast<std::size_t>(n);
        }
        copied += static_cast<std::uint64_t>(got);
    }
    return copied;
}

// Bytes copied per segment: the checks of a large file follow its copy segment by segment.
constexpr std::uint64_t SegmentSize = 16 * 1024 * 1024;
// How far the copy may run ahead of the checks: bytes copied and not yet checked, and files open.
constexpr std::uint64_t MaxBytesAhead = 256 * 1024 * 1024;
constexpr std::size_t MaxFilesAhead = 64;

// The chunks' checksums (and, when asked for, their SHA-256) of every file copied, computed from the copies
// on a thread of its own while the publishing thread copies the next segments. The publishing thread queues
// each segment once it is copied, a file's in order, files one after the other; the checks read the copy
// with pread into one buffer. Nothing is called back: the publishing thread asks what is done.
class CopyChecker {
public:
    struct Result {
        std::string checksums;
        std::string chunkSha256;
    };

    CopyChecker(std::uint32_t chunkSize, bool hashChunks)
        : chunkSize_(chunkSize), hashChunks_(hashChunks), thread_([this] { Run(); }) {}
    ~CopyChecker() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    CopyChecker(const CopyChecker&) = delete;
    CopyChecker& operator=(const CopyChecker&) = delete;

    // Queues bytes [offset, offset + length) of file `index`, whose copy is open as `fd` and named `name`;
    // `last` ends the file. Waits while the checks are too far behind, calling `tick` about ten times a
    // second. Throws what the checks failed with.
    void Add(std::size_t index, int fd, const std::string& name, std::uint64_t offset, std::uint64_t length,
             bool last, const std::function<void()>& tick) {
        std::unique_lock lock(mutex_);
        WaitWhile(
            lock, [this] { return bytesAhead_ > MaxBytesAhead || filesAhead_ > MaxFilesAhead; }, tick);
        if (index != lastQueued_) {
            ++filesAhead_;
            lastQueued_ = index;
        }
        queue_.push_back({index, fd, name, offset, length, last});
        bytesAhead_ += length;
        lock.unlock();
        changed_.notify_all();
    }

    // Waits until every segment queued is checked, calling `tick` about ten times a second. Throws what the
    // checks failed with.
    void Finish(const std::function<void()>& tick) {
        std::unique_lock lock(mutex_);
        WaitWhile(
            lock, [this] { return !queue_.empty() || busy_; }, tick);
    }

    // Waits (under `lock`, on mutex_) while `waiting` holds and no check has failed, calling `tick` without
    // the lock about ten times a second; then throws what the checks failed with, if anything.
    template <class Waiting>
    void WaitWhile(std::unique_lock<std::mutex>& lock, Waiting waiting, const std::function<void()>& tick) {
        while (!error_ && waiting()) {
            if (changed_.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout) {
                lock.unlock();
                tick();
                lock.lock();
            }
        }
        if (error_) {
            std::rethrow_exception(error_);
        }
    }

    // The files checked since the last call, with their results: their copies are not read any more.
    std::vector<std::pair<std::size_t, Result>> TakeDone() {
        const std::lock_guard lock(mutex_);
        return std::exchange(done_, {});
    }
    std::uint64_t CheckedBytes() const { return checked_.load(); }

private:
    struct Segment {
        std::size_t index;
        int fd;
        std::string name;
        std::uint64_t offset;
        std::uint64_t length;
        bool last;
    };

    void Run() {
        std::unique_ptr<char[]> buffer(new char[PieceSize]);
        std::unique_ptr<ChunkDigest> digest;  // of the file being checked
        for (;;) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                return;
            }
            const Segment segment = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
            const bool skip = error_ != nullptr;  // a failed publication only empties the queue
            lock.unlock();
            Result result;
            std::exception_ptr error;
            if (!skip) {
                try {
                    if (!digest) {
                        digest = std::make_unique<ChunkDigest>(chunkSize_, hashChunks_);
                    }
                    ReadRange(segment.fd, segment.offset, segment.length, buffer.get(), segment.name,
                              [&](const char* bytes, std::size_t size) {
                                  digest->Add(bytes, size);
                                  checked_ += size;
                              });
                    if (segment.last) {
                        digest->Finish(result.checksums, &result.chunkSha256);
                    }
                } catch (...) {
                    error = std::current_exception();
                }
            }
            if (segment.last || error) {
                digest.reset();
            }
            lock.lock();
            busy_ = false;
            bytesAhead_ -= segment.length;
            if (segment.last) {
                --filesAhead_;
                if (!skip && !error) {
                    done_.emplace_back(segment.index, std::move(result));
                }
            }
            if (error && !error_) {
                error_ = error;
            }
            lock.unlock();
            changed_.notify_all();
        }
    }

    const std::uint32_t chunkSize_;
    const bool hashChunks_;
    mutable std::mutex mutex_;  // guards queue_, busy_, bytesAhead_, filesAhead_, done_, error_ and stopping_
    std::condition_variable changed_;
    std::deque<Segment> queue_;
    bool busy_ = false;                                      // a segment is being checked
    std::uint64_t bytesAhead_ = 0;                           // bytes queued or being checked
    std::size_t filesAhead_ = 0;                             // files with a segment queued or being checked
    std::size_t lastQueued_ = static_cast<std::size_t>(-1);  // the file of the last segment queued
    std::vector<std::pair<std::size_t, Result>> done_;
    std::exception_ptr error_;
    bool stopping_ = false;
    std::atomic<std::uint64_t> checked_{0};  // bytes checked, for the progress
    std::thread thread_;                     // started last, joined by the destructor
};

// A glob against a path inside the package: '*' and '?' stay within one segment.
bool GlobMatches(const std::string& glob, const std::string& path) {
    return ::fnmatch(glob.c_str(), path.c_str(), FNM_PATHNAME) == 0;
}

bool HasControlCharacter(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

std::string ReadWholeFile(const std::string& path, bool& exists) {
    exists = false;
    FileDescriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0) {
        if (errno == ENOENT) {
            return {};
        }
        throw PublishError(SystemError("cannot read", path));
    }
    exists = true;
    std::string text;
    char buffer[65536];
    for (;;) {
        const std::size_t got = ReadFull(in.Get(), buffer, sizeof buffer, path);
        text.append(buffer, got);
        if (got < sizeof buffer) {
            return text;
        }
    }
}

// The stamp's elements as the publisher writes them: in a package manifest "sequence" and "expires" before
// "files"; in a node list "PartnerId", "Sequence" and "Expires" before the nodes.
std::string StampElements(bool nodeList, const std::string& partnerId, const Stamp& stamp) {
    if (nodeList) {
        return Element("PartnerId", partnerId) + Element("Sequence", std::to_string(stamp.sequence)) +
               Element("Expires", FormatUtcTime(stamp.expires));
    }
    return Element("sequence", std::to_string(stamp.sequence)) +
           Element("expires", FormatUtcTime(stamp.expires));
}

std::int64_t SystemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The documents of a folder of the site whose name ends with `suffix`, sorted; the publisher's temporary
// files and anything but regular files are passed over.
std::vector<std::string> DocumentsIn(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> names;
    boost::system::error_code error;
    if (!fs::is_directory(fs::symlink_status(folder, error))) {
        return names;
    }
    for (fs::directory_iterator it(folder, error), end; it != end; it.increment(error)) {
        if (error) {
            break;
        }
        const std::string name = it->path().filename().string();
        if (name.size() > suffix.size() && name.ends_with(suffix) && !IsTemporaryFileName(name) &&
            fs::is_regular_file(it->symlink_status(error))) {
            names.push_back(name);
        }
    }
    if (error) {
        throw PublishError("cannot list " + folder + ": " + error.message());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

std::string Restamp(const std::string& xml, bool nodeList, const std::string& partnerId, const Stamp& stamp) {
    // Everything of the stamp stands before the first file or node: the old elements are taken out there,
    // and the new ones put where the publisher writes them.
    const std::string before = nodeList ? "<NodeInfo" : "<files";
    const std::size_t limit = xml.find(before);
    if (limit == std::string::npos) {
        throw PublishError(std::string("no ") + before + "> element");
    }
    std::string head = xml.substr(0, limit);
    const std::vector<std::string> names = nodeList
                                               ? std::vector<std::string>{"PartnerId", "Sequence", "Expires"}
                                               : std::vector<std::string>{"sequence", "expires"};
    for (const std::string& name : names) {
        const std::size_t open = head.find("<" + name + ">");
        if (open == std::string::npos) {
            continue;
        }
        const std::string close = "</" + name + ">";
        const std::size_t end = head.find(close, open);
        if (end == std::string::npos) {
            throw PublishError("an unclosed <" + name + "> element");
        }
        head.erase(open, end + close.size() - open);
    }
    std::size_t at = head.size();  // before the first file
    if (nodeList) {
        // Right after the list's start tag.
        const std::size_t root = head.find("<ArrayOfNodeInfo");
        at = root == std::string::npos ? std::string::npos : head.find('>', root);
        if (at == std::string::npos) {
            throw PublishError("no <ArrayOfNodeInfo> element");
        }
        ++at;
    }
    head.insert(at, StampElements(nodeList, partnerId, stamp));
    std::string restamped = head + xml.substr(limit);
    DocumentStamp read;
    try {
        read = ReadDocumentStamp(restamped, nodeList);
    } catch (const std::exception& error) {
        throw PublishError(std::string("the engine refuses the document: ") + error.what());
    }
    if (read.sequence != std::to_string(stamp.sequence) || read.expires != FormatUtcTime(stamp.expires) ||
        (nodeList && read.owner != partnerId)) {
        throw PublishError("the engine does not read the new stamp back");
    }
    return restamped;
}

std::string EscapeXml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string PackageManifestXml(const PackageInfo& package, const std::vector<PublishedFile>& files,
                               const Stamp* stamp) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<package>";
    xml += Element("id", package.packageId) + Element("name", package.name) +
           Element("partnerId", package.partnerId) + Element("versionId", package.versionId);
    if (!package.run.empty()) {
        xml += Element("run", package.run);
    }
    if (stamp != nullptr) {
        xml += StampElements(false, std::string(), *stamp);
    }
    xml += "<files>";
    for (const PublishedFile& file : files) {
        xml += "<file>" + Element("path", file.path) +
               Element("chunksize", std::to_string(package.chunkSize)) +
               Element("size", std::to_string(file.size)) + Element("checksums", file.checksums);
        if (!file.chunkSha256.empty()) {
            xml += Element("chunksha256", file.chunkSha256);
        }
        if (!file.sha256.empty()) {
            xml += Element("sha256", file.sha256);
        }
        if (file.executable) {
            xml += Element("executable", "true");
        }
        xml += "</file>";
    }
    xml += "</files></package>\n";
    return xml;
}

std::string NodeListXml(const std::vector<NodeInfo>& nodes, const std::string& partnerId,
                        const Stamp* stamp) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ArrayOfNodeInfo>";
    if (stamp != nullptr) {
        xml += StampElements(true, partnerId, *stamp);
    }
    for (const NodeInfo& node : nodes) {
        xml += "<NodeInfo>" + Element("NodeId", node.nodeId) + Element("Host", node.host) +
               Element("Path", node.path) + Element("Weight", std::to_string(node.weight)) + "</NodeInfo>";
    }
    xml += "</ArrayOfNodeInfo>\n";
    return xml;
}

namespace {

std::string Quoted(const std::string& text) {
    return text.empty() ? std::string("none") : "\"" + text + "\"";
}

// What tells a file apart from its published entry; "" when nothing does.
std::string DescribeFileDifference(const FileManifest& published, const PublishedFile& file,
                                   std::uint32_t chunkSize, bool publishedMarks) {
    if (published.GetChunkSize() != chunkSize) {
        return "chunk size " + std::to_string(chunkSize) + ", published with " +
               std::to_string(published.GetChunkSize()) + " (--chunk-size)";
    }
    if (published.GetSize() != file.size) {
        return std::to_string(file.size) + " bytes, published with " + std::to_string(published.GetSize());
    }
    const std::vector<std::uint32_t>& checksums = published.GetChecksums();
    for (std::size_t i = 0; i < checksums.size() && 8 * i + 8 <= file.checksums.size(); ++i) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x", static_cast<unsigned>(checksums[i]));
        if (file.checksums.compare(8 * i, 8, hex) != 0) {
            return "other bytes from byte " + std::to_string(std::uint64_t{i} * chunkSize) + " (chunk " +
                   std::to_string(i) + ")";
        }
    }
    if (!published.GetSha256().empty() && !file.sha256.empty() && published.GetSha256() != file.sha256) {
        return "other bytes (its SHA-256 differs)";
    }
    std::string chunkDigests;
    for (const Sha256::Digest& digest : published.GetChunkSha256()) {
        chunkDigests += Sha256::ToHex(digest);
    }
    if (!chunkDigests.empty() && !file.chunkSha256.empty() && chunkDigests != file.chunkSha256) {
        return "other bytes (its chunks' SHA-256 differ)";
    }
    if (!published.GetSha256().empty() && file.sha256.empty()) {
        return "published with its SHA-256, now without it (--no-hash)";
    }
    if (!chunkDigests.empty() && file.chunkSha256.empty()) {
        return "published with its chunks' SHA-256, now without them (--no-chunk-hash)";
    }
    if (published.IsMarkedExecutable() && !file.executable) {
        return "published marked executable, not marked now (an execute bit or --exec marks it)";
    }
    if (!published.IsMarkedExecutable() && file.executable && publishedMarks) {
        return "marked executable now, not when published";
    }
    return {};
}

}  // namespace

std::string DescribeDifference(const std::string& published, const PackageInfo& package,
                               const std::vector<PublishedFile>& files) {
    std::shared_ptr<const PackageManifest> before;
    try {
        before = LoadPackageManifest(published);
    } catch (const std::exception&) {
        return "the published manifest is one the engine does not read";
    }
    if (before->GetName() != package.name) {
        return "name " + Quoted(package.name) + ", published as " + Quoted(before->GetName());
    }
    if (before->GetPartnerId() != package.partnerId) {
        return "partner " + Quoted(package.partnerId) + ", published with " + Quoted(before->GetPartnerId());
    }
    if (before->GetRun() != package.run) {
        return "run file " + Quoted(package.run) + ", published with " + Quoted(before->GetRun());
    }
    std::map<std::string, const FileManifest*> then;
    for (const auto& file : before->GetFiles()) {
        then.emplace(file->GetPath(), file.get());
    }
    std::map<std::string, const PublishedFile*> now;
    for (const PublishedFile& file : files) {
        now.emplace(file.path, &file);
    }
    auto a = then.begin();
    auto b = now.begin();
    while (a != then.end() || b != now.end()) {
        if (b == now.end() || (a != then.end() && a->first < b->first)) {
            return "file " + a->first + " is published, but not in the folder now";
        }
        if (a == then.end() || b->first < a->first) {
            return "file " + b->first + " is new";
        }
        const std::string difference =
            DescribeFileDifference(*a->second, *b->second, package.chunkSize, before->MarksExecutables());
        if (!difference.empty()) {
            return "file " + a->first + ": " + difference;
        }
        ++a;
        ++b;
    }
    return "the manifest differs";
}

std::string ChunkChecksums(const std::string& path, std::uint32_t chunkSize) {
    if (chunkSize == 0) {
        throw PublishError("chunk size 0");
    }
    PublishedFile file;
    ReadChunks(path, chunkSize, file);
    return file.checksums;
}

std::string FileSha256(int fd, const std::string& name) {
    return DigestFile(fd, name, true, 0).sha256;
}

std::string FileSha256(const std::string& path) {
    return DigestFile(path, true, 0).sha256;
}

FileDigests DigestFile(int fd, const std::string& name, bool wholeFile, std::uint32_t chunkSize) {
    // A second pass over bytes that were just read or written, so they come from the page cache.
    constexpr std::size_t bufferSize = 1024 * 1024;
    std::unique_ptr<char[]> buffer(new char[bufferSize]);
    FileDigests digests;
    Sha256 file;
    Sha256 chunk;
    std::uint64_t inChunk = 0;  // bytes of the current chunk hashed so far
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(fd, buffer.get(), bufferSize, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw PublishError(SystemError("cannot read", name));
        }
        if (got == 0) {
            break;
        }
        const auto size = static_cast<std::size_t>(got);
        if (wholeFile) {
            file.Update(buffer.get(), size);
        }
        // The piece is cut at chunk boundaries; each chunk's digest is appended once the chunk is whole.
        for (std::size_t done = 0; chunkSize != 0 && done < size;) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(size - done, chunkSize - inChunk));
            chunk.Update(buffer.get() + done, take);
            done += take;
            inChunk += take;
            if (inChunk == chunkSize) {
                digests.chunkSha256 += Sha256::ToHex(chunk.Final());
                inChunk = 0;
            }
        }
        offset += got;
    }
    if (inChunk > 0) {
        digests.chunkSha256 += Sha256::ToHex(chunk.Final());  // the short last chunk
    }
    if (wholeFile) {
        digests.sha256 = Sha256::ToHex(file.Final());
    }
    return digests;
}

FileDigests DigestFile(const std::string& path, bool wholeFile, std::uint32_t chunkSize) {
    FileDescriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0) {
        throw PublishError(SystemError("cannot open", path));
    }
    return DigestFile(in.Get(), path, wholeFile, chunkSize);
}

void WriteFileAtomically(const std::string& path, const std::string& bytes) {
    TemporaryFile file(path);
    file.WriteAll(bytes.data(), bytes.size());
    file.Place();
}

void CheckId(const std::string& what, const std::string& id) {
    if (id.empty()) {
        throw PublishError("empty " + what);
    }
    if (id == "." || id == ".." || id.find('/') != std::string::npos || HasControlCharacter(id) ||
        !IsValidUtf8(id) || !ChunkUrlCarries(id, "package", "version", "file")) {
        throw PublishError(what + " cannot be carried by a chunk URL: \"" + id + "\"");
    }
}

void CheckFilePath(const PackageInfo& package, const std::string& path) {
    if (path.empty() || HasControlCharacter(path) || !IsValidUtf8(path) ||
        !ChunkUrlCarries(package.partnerId, package.packageId, package.versionId, path)) {
        throw PublishError("file name cannot be carried by a chunk URL: \"" + path + "\"");
    }
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view segment = std::string_view(path).substr(start, end - start);
        if (segment.ends_with(StagedFileSuffix)) {
            throw PublishError("file name ends with " + std::string(StagedFileSuffix) +
                               ", which the engine reserves for the files it builds: \"" + path + "\"");
        }
        if (IsTemporaryFileName(segment)) {
            throw PublishError(
                "file name is named like the publisher's temporary files, which are removed "
                "when left behind: \"" +
                path + "\"");
        }
        start = end + 1;
    }
}

bool IsTemporaryFileName(std::string_view name) {
    const std::size_t mark = name.rfind(TemporaryMark);
    return name.starts_with('.') && mark != std::string_view::npos && mark > 0 &&
           name.size() - mark - TemporaryMark.size() == 6;
}

void CheckNode(const NodeInfo& node) {
    if (node.nodeId.empty() || HasControlCharacter(node.nodeId + node.path) ||
        !IsValidUtf8(node.nodeId + node.path)) {
        throw PublishError("node cannot be written to the node list: \"" + node.nodeId + "\"");
    }
    // The engine refuses a whole node list for one host it does not read, so every player of the partner
    // would lose every node.
    if (!IsServerHost(node.host)) {
        throw PublishError("node " + node.nodeId + ": bad host \"" + node.host +
                           "\": the engine reads host[:port] or https://host[:port], with a port from 1 "
                           "to 65535");
    }
}

bool MatchesExecutableGlob(const PackageInfo& package, const std::string& path) {
    return std::any_of(package.executableGlobs.begin(), package.executableGlobs.end(),
                       [&](const std::string& glob) { return GlobMatches(glob, path); });
}

bool ExcludedBy(const std::string& glob, const std::string& path) {
    std::string pattern = glob;
    while (pattern.size() > 1 && pattern.back() == '/') {
        pattern.pop_back();
    }
    if (pattern.find('/') == std::string::npos) {
        const std::size_t slash = path.rfind('/');
        return GlobMatches(pattern, slash == std::string::npos ? path : path.substr(slash + 1));
    }
    return GlobMatches(pattern, path);
}

PackageListing ListPackageFiles(const std::string& folder, const std::vector<std::string>& excludeGlobs) {
    boost::system::error_code error;
    if (!fs::is_directory(fs::symlink_status(folder, error))) {
        throw PublishError("not a folder: " + folder);
    }
    PackageListing listing;
    std::vector<bool> used(excludeGlobs.size(), false);
    for (fs::recursive_directory_iterator it(folder, error), end; it != end; it.increment(error)) {
        if (error) {
            throw PublishError("cannot list " + folder + ": " + error.message());
        }
        const fs::file_status status = it->symlink_status(error);
        const std::string relative = it->path().lexically_relative(folder).generic_string();
        // Tested as the walk meets it: a folder left out is not entered, so nothing under it is refused.
        bool excluded = false;
        for (std::size_t i = 0; i < excludeGlobs.size(); ++i) {
            if (ExcludedBy(excludeGlobs[i], relative)) {
                used[i] = true;
                excluded = true;
            }
        }
        if (excluded) {
            listing.excluded.push_back(fs::is_directory(status) ? relative + "/" : relative);
            if (fs::is_directory(status)) {
                it.disable_recursion_pending();
            }
            continue;
        }
        if (fs::is_directory(status)) {
            continue;
        }
        if (!fs::is_regular_file(status)) {
            throw PublishError("not a regular file: " + relative);
        }
        const std::uintmax_t size = fs::file_size(it->path(), error);
        if (error) {
            throw PublishError("cannot read " + relative + ": " + error.message());
        }
        listing.bytes += size;
        listing.paths.push_back(relative);
    }
    if (error) {
        throw PublishError("cannot list " + folder + ": " + error.message());
    }
    if (listing.paths.empty()) {
        throw PublishError("no files in " + folder);
    }
    for (std::size_t i = 0; i < excludeGlobs.size(); ++i) {
        if (!used[i]) {
            listing.unmatched.push_back(excludeGlobs[i]);
        }
    }
    std::sort(listing.paths.begin(), listing.paths.end());
    return listing;
}

SitePublisher::SitePublisher(std::string siteFolder) : folder_(std::move(siteFolder)) {
    boost::system::error_code error;
    fs::create_directories(folder_, error);
    if (error) {
        throw PublishError("cannot create the site folder " + folder_ + ": " + error.message());
    }
}

std::string SitePublisher::PackageFilePath(const PackageInfo& package, const std::string& path) const {
    return folder_ + "/packages/" + package.partnerId + "/" + package.packageId + "/" + package.versionId +
           "/" + path;
}

std::string SitePublisher::ManifestPath(const std::string& packageId, const std::string& versionId) const {
    return folder_ + "/manifests/" + packageId + "/" + versionId + ".xml";
}

std::string SitePublisher::NodeListPath(const std::string& partnerId) const {
    return folder_ + "/nodes/" + partnerId + ".xml";
}

SitePublisher::~SitePublisher() {
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

std::string SitePublisher::SignedMarkerPath() const {
    return folder_ + "/" + std::string(SignedSiteMarker);
}

void SitePublisher::LockAgainstOtherPublishers() {
    if (lockFd_ >= 0) {
        return;
    }
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        throw PublishError(SystemError("cannot open the site folder", folder_));
    }
    // Released by the kernel however the process ends, so a killed publication never blocks the next.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int cause = errno;
        ::close(fd);
        errno = cause;
        throw PublishError(cause == EWOULDBLOCK ? "another publication is writing into " + folder_
                                                : SystemError("cannot lock the site folder", folder_));
    }
    lockFd_ = fd;
}

std::size_t SitePublisher::RemoveStaleTemporaryFiles() const {
    std::vector<fs::path> stale;
    boost::system::error_code error;
    for (fs::recursive_directory_iterator it(folder_, error), end; it != end; it.increment(error)) {
        if (error) {
            break;
        }
        if (IsTemporaryFileName(it->path().filename().string()) &&
            fs::is_regular_file(it->symlink_status(error))) {
            stale.push_back(it->path());
        }
    }
    if (error) {
        throw PublishError("cannot list " + folder_ + ": " + error.message());
    }
    for (const fs::path& path : stale) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            throw PublishError(SystemError("cannot remove", path.string()));
        }
    }
    return stale.size();
}

std::string SitePublisher::KeptSignature(const std::string& path, const std::string& text,
                                         const std::string& newSignature) const {
    bool exists = false;
    const std::string document = ReadWholeFile(path, exists);
    if (!exists) {
        return {};
    }
    const std::string signatures = ReadWholeFile(SignaturePath(path), exists);
    const ManifestVerifier verifier(signingKey_->PublicKeyBase64());
    std::vector<std::string> lines;  // the well-formed ones, each with its line feed
    std::string verifying;
    for (std::size_t start = 0; start < signatures.size() && lines.size() < MaxSignatureLines;) {
        const std::size_t end = std::min(signatures.find('\n', start), signatures.size());
        std::string line = signatures.substr(start, end - start);
        start = end + 1;
        line.erase(0, line.find_first_not_of(" \t\r"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        const SignatureCheck check = verifier.Check(document, line);
        if (check == SignatureCheck::Malformed) {
            continue;
        }
        lines.push_back(line + "\n");
        if (check == SignatureCheck::Valid && verifying.empty()) {
            verifying = lines.back();
        }
    }
    if (document == text) {
        // Republished unchanged: what was kept beside it stays, for the document before it.
        for (const std::string& line : lines) {
            if (line != newSignature) {
                return line;
            }
        }
        return {};
    }
    // The line that verifies the document being replaced. When none does under this key, the document was
    // signed by another (a key rotation) or changed on the server: its first signature is kept as it stands,
    // which vouches for nothing that it did not before.
    return !verifying.empty() ? verifying : lines.empty() ? std::string() : lines.front();
}

void SitePublisher::PlaceDocument(const std::string& path, const std::string& text) const {
    if (signingKey_) {
        boost::system::error_code error;
        if (!fs::exists(fs::symlink_status(SignedMarkerPath(), error))) {
            WriteFileAtomically(SignedMarkerPath(),
                                "The manifests and node lists of this site are signed: halcyne-publish "
                                "refuses to publish into it without the signing key.\n");
        }
        // The document's signature and the one of the document it replaces, renamed into place before the
        // document: whichever of the two an updater or a cache serves verifies, also when the publication is
        // killed between the renames.
        const std::string signature = signingKey_->Sign(text);
        WriteFileAtomically(SignaturePath(path), signature + KeptSignature(path, text, signature));
    }
    WriteFileAtomically(path, text);
}

void SitePublisher::SetClock(Clock clock) {
    clock_ = std::move(clock);
}

void SitePublisher::ExpireAfterDays(unsigned days) {
    if (days == 0) {
        throw PublishError("an expiry of 0 days: a document would expire as it is published");
    }
    expiryDays_ = days;
}

std::string SitePublisher::SignedSiteEvidence() const {
    boost::system::error_code error;
    if (fs::exists(fs::symlink_status(SignedMarkerPath(), error))) {
        return SignedMarkerPath() + " marks it";
    }
    // A site signed before the marker existed: a signature beside any manifest or node list.
    for (const std::string& folder : {folder_ + "/nodes", folder_ + "/manifests"}) {
        for (fs::recursive_directory_iterator it(folder, error), end; it != end; it.increment(error)) {
            if (error) {
                break;
            }
            if (it->path().extension() == ".sig") {
                return it->path().string() + " exists";
            }
        }
    }
    return {};
}

Stamp SitePublisher::NextStamp(const std::string& path, bool nodeList) const {
    const std::int64_t now = clock_ ? clock_() : SystemSeconds();
    // The time in seconds keeps sequences rising across a site rebuilt from nothing; the sequence in place
    // + 1 keeps them rising when publications come faster than the clock ticks, or the clock went back.
    Stamp stamp{static_cast<std::uint64_t>(std::max<std::int64_t>(now, 0)),
                now + static_cast<std::int64_t>(expiryDays_) * 86400};
    bool exists = false;
    const std::string previous = ReadWholeFile(path, exists);
    if (exists) {
        try {
            const auto sequence = ReadDocumentStamp(previous, nodeList).sequence;
            const auto value = sequence
                                   ? ParseDecimal(*sequence, std::numeric_limits<std::uint64_t>::max() - 1)
                                   : std::nullopt;
            if (value) {
                stamp.sequence = std::max(stamp.sequence, *value + 1);
            }
        } catch (const std::exception&) {
            // A document the engine does not read counts for nothing.
        }
    }
    return stamp;
}

Stamp SitePublisher::StampFor(const std::string& path, bool nodeList,
                              const std::function<std::string(const Stamp&)>& render) const {
    bool exists = false;
    const std::string inPlace = ReadWholeFile(path, exists);
    if (exists) {
        try {
            const DocumentStamp read = ReadDocumentStamp(inPlace, nodeList);
            const auto sequence =
                ParseDecimal(read.sequence.value_or(""), std::numeric_limits<std::uint64_t>::max());
            const auto expires = ParseUtcTime(read.expires.value_or(""));
            const std::int64_t now = clock_ ? clock_() : SystemSeconds();
            if (sequence && expires && *expires > now + 86400) {
                const Stamp kept{*sequence, *expires};
                if (render(kept) == inPlace) {
                    return kept;
                }
            }
        } catch (const std::exception&) {
            // A document the engine does not read is replaced.
        }
    }
    return NextStamp(path, nodeList);
}

std::vector<std::string> SitePublisher::Resign() {
    if (!signingKey_) {
        throw PublishError("--resign needs the signing key (--key)");
    }
    if (SignedSiteEvidence().empty()) {
        throw PublishError("the site " + folder_ +
                           " is not signed: publish into it with --key first (--resign only refreshes "
                           "signed documents)");
    }
    // Every new text is made and checked before the first is written.
    struct Document {
        std::string relative;
        std::string text;
    };
    std::vector<Document> documents;
    const auto restamp = [&](const std::string& relative, bool nodeList, const std::string& owner) {
        bool exists = false;
        const std::string text = ReadWholeFile(folder_ + "/" + relative, exists);
        try {
            if (!nodeList) {
                const auto id = ReadDocumentStamp(text, false).owner;
                if (id != owner) {
                    throw PublishError("it names package \"" + id.value_or("") + "\"");
                }
            }
            documents.push_back(
                {relative, Restamp(text, nodeList, owner, NextStamp(folder_ + "/" + relative, nodeList))});
        } catch (const std::exception& error) {
            throw PublishError("cannot refresh " + relative + ": " + error.what());
        }
    };
    boost::system::error_code error;
    std::vector<std::string> packages;
    for (fs::directory_iterator it(folder_ + "/manifests", error), end; !error && it != end;
         it.increment(error)) {
        if (fs::is_directory(it->symlink_status(error)) &&
            fs::is_regular_file(fs::symlink_status(it->path() / "current.xml", error))) {
            packages.push_back(it->path().filename().string());
        }
    }
    std::sort(packages.begin(), packages.end());
    for (const std::string& package : packages) {
        restamp("manifests/" + package + "/current.xml", false, package);
    }
    for (const std::string& name : DocumentsIn(folder_ + "/nodes", ".xml")) {
        restamp("nodes/" + name, true, name.substr(0, name.size() - 4));
    }
    std::vector<std::string> written;
    for (const Document& document : documents) {
        PlaceDocument(folder_ + "/" + document.relative, document.text);
        written.push_back(document.relative);
    }
    return written;
}

void SitePublisher::CheckUnsignedAllowed() const {
    if (signingKey_) {
        return;
    }
    const std::string evidence = SignedSiteEvidence();
    if (!evidence.empty()) {
        throw PublishError("the site is signed (" + evidence +
                           "): give the signing key with --key; an unsigned manifest or node list there "
                           "would be refused by every updater of the deployment");
    }
}

void SitePublisher::CheckPackage(const PackageInfo& package, const std::vector<std::string>& paths) const {
    CheckId("partner id", package.partnerId);
    CheckId("package id", package.packageId);
    CheckId("version id", package.versionId);
    if (package.versionId == "current") {
        throw PublishError("version id \"current\" is reserved for the current manifest");
    }
    if (package.name.empty()) {
        throw PublishError("empty package name (give --name): the engine refuses a manifest without one");
    }
    if (HasControlCharacter(package.name) || !IsValidUtf8(package.name)) {
        throw PublishError("package name cannot be written to the manifest: \"" + package.name + "\"");
    }
    if (package.chunkSize == 0) {
        throw PublishError("chunk size 0");
    }
    for (const std::string& path : paths) {
        CheckFilePath(package, path);
    }
    if (!package.run.empty() && std::find(paths.begin(), paths.end(), package.run) == paths.end()) {
        throw PublishError("unknown run file: " + package.run);
    }
    // A glob that matches nothing is a mistake (a misspelt name would leave a program without permission).
    for (const std::string& glob : package.executableGlobs) {
        if (std::none_of(paths.begin(), paths.end(),
                         [&](const std::string& path) { return GlobMatches(glob, path); })) {
            throw PublishError("--exec " + glob + " matches no file of the package");
        }
    }
}

void SitePublisher::CheckMarksReadBack(const std::string& xml, const std::vector<PublishedFile>& files) {
    std::vector<std::string> marked;
    for (const PublishedFile& file : files) {
        if (file.executable) {
            marked.push_back(file.path);
        }
    }
    std::vector<std::string> read;
    try {
        read = MarkedExecutables(xml);
    } catch (const std::exception& error) {
        const std::string reason = error.what();
        throw PublishError("the engine refuses the manifest" +
                           (reason.empty() ? std::string() : ": " + reason));
    }
    if (read != marked) {
        throw PublishError("the engine does not read back the files marked executable");
    }
}

std::string SitePublisher::WriteManifests(const PackageInfo& package, const std::vector<PublishedFile>& files,
                                          bool makeCurrent) const {
    const std::string xml = PackageManifestXml(package, files);
    PlaceDocument(ManifestPath(package.packageId, package.versionId), xml);
    if (makeCurrent) {
        // A signed current manifest is stamped: the version's own manifest is asked for by name and needs
        // none, so it stays as it was published.
        const std::string current = ManifestPath(package.packageId, "current");
        if (signingKey_) {
            const auto render = [&](const Stamp& stamp) {
                return PackageManifestXml(package, files, &stamp);
            };
            PlaceDocument(current, render(StampFor(current, false, render)));
        } else {
            PlaceDocument(current, xml);
        }
    }
    return xml;
}

std::string SitePublisher::PublishFolder(const std::string& sourceFolder, const PackageInfo& package,
                                         bool makeCurrent) {
    const PackageListing listing = ListPackageFiles(sourceFolder, package.excludeGlobs);
    const std::vector<std::string>& paths = listing.paths;
    CheckPackage(package, paths);
    CheckUnsignedAllowed();
    for (const std::string& glob : listing.unmatched) {
        warnings_.push_back("--exclude " + glob + " leaves out nothing of " + sourceFolder);
    }
    // Each file is copied into a temporary file beside its place (by the kernel where it can, segment by
    // segment), and its checksums are computed from the copy, which is what the nodes will serve: the file's
    // SHA-256 on this thread right after each segment, the chunks' CRC-32 and SHA-256 on the checker's thread
    // meanwhile. Nothing is renamed until the whole package is known to be publishable.
    std::vector<PublishedFile> files(paths.size());
    std::vector<std::unique_ptr<TemporaryFile>> copies;
    copies.reserve(paths.size());
    CopyChecker checker(package.chunkSize, package.hashChunks);  // joined before the copies are closed
    PublishProgress progress{paths.size(), listing.bytes, 0, 0};
    std::uint64_t copied = 0;  // bytes copied (and hashed, when the files' digests are written)
    const auto report = [&] {
        if (progress_) {
            progress.bytesDone = std::min({copied, checker.CheckedBytes(), progress.bytes});
            progress_(progress);
        }
    };
    const auto collect = [&] {
        for (auto& [index, result] : checker.TakeDone()) {
            copies[index]->Finish();
            files[index].checksums = std::move(result.checksums);
            files[index].chunkSha256 = std::move(result.chunkSha256);
            ++progress.filesDone;
        }
    };
    report();
    std::unique_ptr<char[]> buffer(new char[PieceSize]);
    bool inKernel = true;
    for (std::size_t index = 0; index < paths.size(); ++index) {
        const std::string& path = paths[index];
        const std::string from = sourceFolder + "/" + path;
        PublishedFile& file = files[index];
        file.path = path;
        FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        struct stat status {};
        if (in.Get() < 0) {
            throw PublishError(SystemError("cannot open", from));
        }
        if (::fstat(in.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            throw PublishError("not a regular file: " + from);
        }
        ::posix_fadvise(in.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
        file.executable =
            (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0 || MatchesExecutableGlob(package, path);
        copies.push_back(std::make_unique<TemporaryFile>(PackageFilePath(package, path)));
        const int out = copies.back()->Fd();
        std::unique_ptr<Sha256> hash = package.hashFiles ? std::make_unique<Sha256>() : nullptr;
        for (std::uint64_t offset = 0;;) {
            const std::uint64_t got =
                CopyRange(in.Get(), out, offset, SegmentSize, inKernel, buffer.get(), from);
            if (hash) {
                ReadRange(out, offset, got, buffer.get(), path,
                          [&](const char* bytes, std::size_t size) { hash->Update(bytes, size); });
            }
            const bool last = got < SegmentSize;
            checker.Add(index, out, path, offset, got, last, report);
            offset += got;
            copied += got;
            collect();
            report();
            if (last) {
                file.size = offset;
                break;
            }
        }
        if (hash) {
            file.sha256 = Sha256::ToHex(hash->Final());
        }
    }
    checker.Finish(report);
    collect();
    report();
    const std::string xml = PackageManifestXml(package, files);
    CheckMarksReadBack(xml, files);
    bool published = false;
    const std::string existing = ReadWholeFile(ManifestPath(package.packageId, package.versionId), published);
    // A version published before manifests carried hashes (chunk digests came after file digests) or
    // executable marks is the same content when only those differ: the files are the same bytes.
    bool same = !published;
    for (const int dropHashes : {0, 1, 2}) {  // none, the chunks' digests, all digests
        for (const bool dropMarks : {false, true}) {
            std::vector<PublishedFile> older = files;
            for (PublishedFile& file : older) {
                if (dropHashes >= 1) {
                    file.chunkSha256.clear();
                }
                if (dropHashes >= 2) {
                    file.sha256.clear();
                }
                if (dropMarks) {
                    file.executable = false;
                }
            }
            same = same || existing == PackageManifestXml(package, older);
        }
    }
    if (!same) {
        throw PublishError("version " + package.versionId + " of package " + package.packageId +
                           " is already published with other content (" +
                           DescribeDifference(existing, package, files) + "): publish it as a new version");
    }
    for (const auto& copy : copies) {
        copy->Place();
    }
    return WriteManifests(package, files, makeCurrent);
}

std::string SitePublisher::PublishInPlace(const std::vector<std::string>& paths, const PackageInfo& package,
                                          bool makeCurrent) {
    if (package.chunkSize == 0) {
        throw PublishError("chunk size 0");
    }
    std::vector<PublishedFile> files;
    for (const std::string& path : paths) {
        PublishedFile file;
        file.path = path;
        ReadChunks(PackageFilePath(package, path), package.chunkSize, file);
        file.executable = MatchesExecutableGlob(package, path);
        if (package.hashFiles || package.hashChunks) {
            FileDigests digests = DigestFile(PackageFilePath(package, path), package.hashFiles,
                                             package.hashChunks ? package.chunkSize : 0);
            file.sha256 = std::move(digests.sha256);
            file.chunkSha256 = std::move(digests.chunkSha256);
        }
        files.push_back(std::move(file));
    }
    return WriteManifests(package, files, makeCurrent);
}

std::string SitePublisher::PublishNodeList(const std::string& partnerId, const std::vector<NodeInfo>& nodes) {
    CheckId("partner id", partnerId);
    for (const NodeInfo& node : nodes) {
        CheckNode(node);
    }
    CheckUnsignedAllowed();
    std::string xml;
    if (signingKey_) {
        const auto render = [&](const Stamp& stamp) { return NodeListXml(nodes, partnerId, &stamp); };
        xml = render(StampFor(NodeListPath(partnerId), true, render));
    } else {
        xml = NodeListXml(nodes);
    }
    PlaceDocument(NodeListPath(partnerId), xml);
    return xml;
}

}  // namespace halcyne::publish

namespace halcyne::publish {

std::vector<std::string> SitePublisher::TakeWarnings() {
    return std::exchange(warnings_, {});
}

bool SitePublisher::KnowsPartner(const std::string& partnerId) const {
    boost::system::error_code error;
    return fs::exists(fs::symlink_status(NodeListPath(partnerId), error)) ||
           fs::is_directory(fs::symlink_status(folder_ + "/packages/" + partnerId, error));
}

std::string SitePublisher::SetCurrent(const std::string& packageId, const std::string& versionId) {
    CheckId("package id", packageId);
    CheckId("version id", versionId);
    if (versionId == "current") {
        throw PublishError("version id \"current\" is reserved for the current manifest");
    }
    CheckUnsignedAllowed();
    const std::string relative = "manifests/" + packageId + "/" + versionId + ".xml";
    const std::string path = ManifestPath(packageId, versionId);
    bool exists = false;
    const std::string xml = ReadWholeFile(path, exists);
    if (!exists) {
        throw PublishError("version " + versionId + " of package " + packageId + " is not published (no " +
                           relative + ")");
    }
    std::shared_ptr<const PackageManifest> manifest;
    try {
        manifest = LoadPackageManifest(xml);
    } catch (const std::exception& error) {
        throw PublishError(relative + ": the engine refuses it: " + error.what());
    }
    if (manifest->GetId() != packageId || manifest->GetVersionId() != versionId) {
        throw PublishError(relative + " names version " + manifest->GetVersionId() + " of package " +
                           manifest->GetId());
    }
    // Players would be sent to files that are not there: the version is refused before it becomes current.
    PackageInfo where;
    where.partnerId = manifest->GetPartnerId();
    where.packageId = packageId;
    where.versionId = versionId;
    for (const auto& file : manifest->GetFiles()) {
        const std::string filePath = PackageFilePath(where, file->GetPath());
        const std::string name = fs::path(filePath).lexically_relative(folder_).generic_string();
        struct stat status {};
        if (::lstat(filePath.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            throw PublishError("version " + versionId + " cannot become current: " + name + " is missing");
        }
        if (static_cast<std::uint64_t>(status.st_size) != file->GetSize()) {
            throw PublishError("version " + versionId + " cannot become current: " + name + " has " +
                               std::to_string(status.st_size) + " bytes, its manifest says " +
                               std::to_string(file->GetSize()));
        }
    }
    if (signingKey_) {
        const std::string signature = ReadWholeFile(SignaturePath(path), exists);
        if (!exists ||
            ManifestVerifier(signingKey_->PublicKeyBase64()).Check(xml, signature) != SignatureCheck::Valid) {
            throw PublishError(relative +
                               " is not signed by this key: publish the version again with --from "
                               "to make it current");
        }
    }
    const std::string current = ManifestPath(packageId, "current");
    std::string previous;
    bool hasCurrent = false;
    const std::string currentXml = ReadWholeFile(current, hasCurrent);
    if (hasCurrent) {
        try {
            previous = LoadPackageManifest(currentXml)->GetVersionId();
        } catch (const std::exception&) {
            // An unreadable current manifest is replaced; there is no version to name.
        }
    }
    if (signingKey_) {
        const auto render = [&](const Stamp& stamp) { return Restamp(xml, false, packageId, stamp); };
        PlaceDocument(current, render(StampFor(current, false, render)));
    } else {
        PlaceDocument(current, xml);
    }
    return previous;
}

}  // namespace halcyne::publish
