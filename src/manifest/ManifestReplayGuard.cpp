#include "manifest/ManifestReplayGuard.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/FileDescriptor.hpp"
#include "common/Paths.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/ManifestText.hpp"
#include "manifest/StoreJson.hpp"

namespace halcyne {

namespace {

using boost::property_tree::ptree;

// How each kind of document is named in messages, in its stamp's elements and in the file.
struct KindNames {
    const char* document;  // "package manifest"
    const char* owner;     // "package"
    const char* ownerElement;
    const char* sequenceElement;
    const char* expiresElement;
    const char* fileArray;  // the array of the file that lists the kind's floors
    const char* fileOwner;  // the member of an entry that holds the owner
};

const KindNames& Names(StampedDocument kind) {
    static const KindNames package{"current package manifest", "package", "id", "sequence", "expires",
                                   "packageManifests",         "package"};
    static const KindNames nodes{"node list", "partner",   "PartnerId", "Sequence",
                                 "Expires",   "nodeLists", "partner"};
    return kind == StampedDocument::NodeList ? nodes : package;
}

std::int64_t SystemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A time for a message: the stamp's form, or the number when it lies outside what that form writes.
std::string TimeText(std::int64_t seconds) {
    try {
        return FormatUtcTime(seconds);
    } catch (const std::out_of_range&) {
        return std::to_string(seconds) + " seconds since 1970";
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

ManifestReplayGuard::ManifestReplayGuard(std::string file, Clock clock)
    : file_(std::move(file)), clock_(clock ? std::move(clock) : Clock(SystemSeconds)) {}

ManifestReplayGuard::Admission ManifestReplayGuard::Admit(StampedDocument kind, const std::string& host,
                                                          const std::string& owner,
                                                          const DocumentStamp& stamp,
                                                          const std::string& url) {
    const KindNames& names = Names(kind);
    const auto refuse = [&](const std::string& why) {
        throw ManifestTrustException(url + " is refused: " + why);
    };
    const auto missing = [&](const char* element) {
        refuse(std::string("it is signed but carries no <") + element + ">; a signed " + names.document +
               " must name its " + names.owner + ", sequence and expiry (halcyne-publish writes them, and " +
               "--resign adds them to a site published before)");
    };
    if (!stamp.owner) {
        missing(names.ownerElement);
    }
    if (!stamp.sequence) {
        missing(names.sequenceElement);
    }
    if (!stamp.expires) {
        missing(names.expiresElement);
    }
    if (*stamp.owner != owner) {
        refuse(std::string("it is the ") + names.document + " of " + names.owner + " \"" + *stamp.owner +
               "\", not of \"" + owner + "\"");
    }
    const auto sequence = ParseDecimal(*stamp.sequence, std::numeric_limits<std::uint64_t>::max());
    if (!sequence) {
        refuse(std::string("its <") + names.sequenceElement + "> \"" + *stamp.sequence +
               "\" is not a decimal number");
    }
    const auto expires = ParseUtcTime(*stamp.expires);
    if (!expires) {
        refuse(std::string("its <") + names.expiresElement + "> \"" + *stamp.expires +
               "\" is not a time written YYYY-MM-DDThh:mm:ssZ");
    }
    const std::int64_t now = clock_();
    if (now - AllowedClockSkew > *expires) {
        refuse("it expired at " + *stamp.expires + "; the updater's clock says " + TimeText(now) +
               " (an hour of clock skew is allowed)");
    }
    std::uint64_t floor = 0;
    bool known = false;
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        MergeFileLocked(FilePathLocked());
        const auto found = floors_.find(Key{kind, host, owner});
        if (found != floors_.end()) {
            floor = found->second;
            known = true;
        }
    }
    if (known && *sequence < floor) {
        refuse("its sequence " + std::to_string(*sequence) + " is below " + std::to_string(floor) +
               ", the highest already accepted for the " + names.document + " of " + names.owner + " \"" +
               owner + "\" from " + host + ": an older document served again");
    }
    return Admission{kind, host, owner, *sequence};
}

void ManifestReplayGuard::Accept(const Admission& admission) {
    const std::lock_guard<std::mutex> guard(mutex_);
    const std::string path = FilePathLocked();
    MergeFileLocked(path);
    const auto [entry, added] =
        floors_.try_emplace(Key{admission.kind, admission.host, admission.owner}, admission.sequence);
    if (!added && entry->second >= admission.sequence) {
        return;  // the same document again, or an older one whose newer was accepted since it was admitted
    }
    entry->second = admission.sequence;
    if (!path.empty()) {
        WriteFileLocked(path);
    }
}

std::optional<std::uint64_t> ManifestReplayGuard::Floor(StampedDocument kind, const std::string& host,
                                                        const std::string& owner) {
    const std::lock_guard<std::mutex> guard(mutex_);
    MergeFileLocked(FilePathLocked());
    const auto found = floors_.find(Key{kind, host, owner});
    return found == floors_.end() ? std::nullopt : std::optional<std::uint64_t>(found->second);
}

std::string ManifestReplayGuard::FilePathLocked() const {
    const std::string base = TemporaryDirectory();
    if (base.empty()) {
        return {};
    }
    const std::string path = JoinPath(base, file_);
    // The folder is the user's own, all the way down: nobody else can put a file there or swap one in.
    if (!CreatePrivateFolder(boost::filesystem::path(path).parent_path().string())) {
        return {};
    }
    return path;
}

void ManifestReplayGuard::MergeFileLocked(const std::string& path) {
    if (path.empty()) {
        return;
    }
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (file.Get() < 0 || ::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) > MaxFileBytes) {
        return;
    }
    // Read at most one byte past the bound, whatever the size said.
    std::string text(MaxFileBytes + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(file.Get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got > MaxFileBytes) {
        return;
    }
    text.resize(got);
    ptree tree;
    try {
        tree = ReadStoreJson(text, 3);
    } catch (const StoreJsonError&) {
        return;
    }
    for (const StampedDocument kind : {StampedDocument::PackageManifest, StampedDocument::NodeList}) {
        const KindNames& names = Names(kind);
        const auto entries = tree.get_child_optional(names.fileArray);
        if (!entries) {
            continue;
        }
        for (const auto& [unused, entry] : *entries) {
            const auto host = entry.get_child_optional("host");
            const auto owner = entry.get_child_optional(names.fileOwner);
            const auto sequenceText = entry.get_child_optional("sequence");
            if (!host || !owner || !sequenceText) {
                continue;
            }
            const auto sequence =
                ParseDecimal(sequenceText->data(), std::numeric_limits<std::uint64_t>::max());
            if (!sequence) {
                continue;
            }
            std::uint64_t& floor = floors_[Key{kind, host->data(), owner->data()}];
            floor = std::max(floor, *sequence);
        }
    }
}

bool ManifestReplayGuard::WriteFileLocked(const std::string& path) const {
    ptree tree;
    for (const StampedDocument kind : {StampedDocument::PackageManifest, StampedDocument::NodeList}) {
        const KindNames& names = Names(kind);
        ptree entries;
        for (const auto& [key, sequence] : floors_) {
            if (std::get<0>(key) != kind) {
                continue;
            }
            // Members are added without path parsing: hosts and ids may hold '.'.
            ptree entry;
            entry.push_back({"host", ptree(std::get<1>(key))});
            entry.push_back({names.fileOwner, ptree(std::get<2>(key))});
            entry.push_back({"sequence", ptree(std::to_string(sequence))});
            entries.push_back({"", std::move(entry)});
        }
        if (!entries.empty()) {
            tree.push_back({names.fileArray, std::move(entries)});
        }
    }
    std::string text;
    try {
        text = tree.empty() ? std::string("{}\n") : WriteStoreJson(tree);
    } catch (const StoreJsonError&) {
        return false;  // an id that is not UTF-8: the floor holds in memory only
    }
    const boost::filesystem::path target(path);
    const std::string folder = target.parent_path().string();
    std::string temporary = folder + "/." + target.filename().string() + ".XXXXXX";
    // mkostemp creates the file with mode 0600, which is the mode the file keeps.
    FileDescriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (out.Get() < 0) {
        return false;
    }
    if (!WriteAll(out.Get(), text) || ::fsync(out.Get()) != 0 || !out.Close() ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    const FileDescriptor parent(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.Get() >= 0) {
        ::fsync(parent.Get());
    }
    return true;
}

}  // namespace halcyne
