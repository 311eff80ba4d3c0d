#include "manifest/StandardPackageManifest.hpp"

#include <limits>
#include <new>
#include <set>

#include <boost/property_tree/ptree.hpp>

#include "manifest/ManifestException.hpp"
#include "manifest/ManifestText.hpp"

namespace halcyne {

namespace {

using boost::property_tree::ptree;

// A path that stays inside the destination folder once its leading '/' characters are gone.
bool IsContainedPath(std::string_view relative) {
    if (relative.empty() || relative.find('\\') != std::string_view::npos) {
        return false;
    }
    std::size_t start = 0;
    while (true) {
        const auto end = relative.find('/', start);
        const std::string_view segment =
            relative.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (segment.empty() || segment == "." || segment == "..") {
            return false;
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

// Whether a segment of the path ends with the suffix of the engine's staged files: such a file would be
// mistaken for (or overwritten as) the staged copy of its sibling.
bool HasStagedSegment(std::string_view relative) {
    std::size_t start = 0;
    while (true) {
        const auto end = relative.find('/', start);
        const std::string_view segment =
            relative.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (segment.ends_with(StagedFileSuffix)) {
            return true;
        }
        if (end == std::string_view::npos) {
            return false;
        }
        start = end + 1;
    }
}

std::uint64_t ReadNumber(const ptree& tree, const char* key, std::uint64_t max) {
    const auto value = ParseDecimal(tree.get_child(key).data(), max);
    if (!value) {
        throw ManifestParseException();
    }
    return *value;
}

}  // namespace

std::string_view RelativeFilePath(std::string_view path) {
    const auto start = path.find_first_not_of('/');
    return start == std::string_view::npos ? std::string_view() : path.substr(start);
}

StandardFileManifest::StandardFileManifest(const ptree& tree) {
    Load(tree);
}

void StandardFileManifest::Load(const ptree& tree) {
    // Everything is read into locals first, so that a failed load leaves the manifest as it was.
    std::string path;
    std::uint32_t chunkSize = 0;
    std::uint64_t size = 0;
    std::uint32_t count = 0;
    std::vector<std::uint32_t> checksums;
    std::vector<Sha256::Digest> chunkSha256;
    std::string sha256;
    bool executable = false;
    try {
        path = tree.get_child("path").data();
        chunkSize = static_cast<std::uint32_t>(
            ReadNumber(tree, "chunksize", std::numeric_limits<std::uint32_t>::max()));
        size = ReadNumber(tree, "size", std::numeric_limits<std::uint64_t>::max());
        count = ChunkCount(chunkSize, size);
        const std::string& text = tree.get_child("checksums").data();
        // The length is checked before anything is reserved, so a huge count costs nothing (and a file of
        // size 0 carries no checksum at all).
        if (static_cast<std::uint64_t>(text.size()) != 8ull * count) {
            throw ManifestParseException();
        }
        checksums.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto checksum = ParseHex32(std::string_view(text).substr(8ull * i, 8));
            if (!checksum) {
                throw ManifestParseException();
            }
            checksums.push_back(*checksum);
        }
        // Optional; when present, one digest per chunk: a wrong count or a malformed digest is refused rather
        // than taken as absent, so that a broken publisher cannot switch the chunk check off unnoticed. The
        // length is checked before anything is reserved, as for the checksums.
        if (const auto digests = tree.get_child_optional("chunksha256")) {
            const std::string& text = digests->data();
            if (static_cast<std::uint64_t>(text.size()) != 64ull * count) {
                throw ManifestParseException();
            }
            chunkSha256.reserve(count);
            for (std::uint32_t i = 0; i < count; ++i) {
                const auto digest = ParseSha256Digest(std::string_view(text).substr(64ull * i, 64));
                if (!digest) {
                    throw ManifestParseException();
                }
                chunkSha256.push_back(*digest);
            }
        }
        // Optional; when present it must be a whole digest: an empty or malformed one is refused rather
        // than taken as absent, so that a broken publisher cannot switch the check off unnoticed.
        if (const auto hash = tree.get_child_optional("sha256")) {
            auto digits = ParseSha256Hex(hash->data());
            if (!digits) {
                throw ManifestParseException();
            }
            sha256 = std::move(*digits);
        }
        // Optional; strictly "true" or "false", so that a misspelt mark is not taken as absent.
        if (const auto mark = tree.get_child_optional("executable")) {
            if (mark->data() == "true") {
                executable = true;
            } else if (mark->data() != "false") {
                throw ManifestParseException();
            }
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        throw ManifestParseException();
    }
    // A file of size 0 is valid: it has no chunk, so it carries no checksum (a placeholder such as ".keep").
    if (!IsContainedPath(RelativeFilePath(path)) || chunkSize == 0 || checksums.size() != count) {
        throw ManifestParseException();
    }
    if (HasStagedSegment(RelativeFilePath(path))) {
        throw ManifestParseException("file path " + path + " uses the reserved suffix " +
                                     std::string(StagedFileSuffix));
    }
    path_ = std::move(path);
    chunkSize_ = chunkSize;
    size_ = size;
    checksums_ = std::move(checksums);
    chunkSha256_ = std::move(chunkSha256);
    sha256_ = std::move(sha256);
    executable_ = executable;
}

ManifestFileSink StandardPackageManifest::FileSink() {
    streamed_.clear();
    return [this](const ptree& file) { streamed_.push_back(std::make_shared<StandardFileManifest>(file)); };
}

void StandardPackageManifest::Load(const ptree& tree) {
    // Everything is read into a fresh manifest first, so that a failed load leaves this one as it was.
    StandardPackageManifest loaded;
    loaded.files_ = std::move(streamed_);
    streamed_.clear();
    try {
        const ptree& package = tree.get_child("package");
        loaded.id_ = package.get_child("id").data();
        loaded.name_ = package.get_child("name").data();
        loaded.partnerId_ = package.get_child("partnerId").data();
        loaded.versionId_ = package.get_child("versionId").data();
        const auto run = package.get_child_optional("run");
        loaded.run_ = run ? run->data() : std::string();
        loaded.stamp_.owner = loaded.id_;
        if (const auto sequence = package.get_child_optional("sequence")) {
            loaded.stamp_.sequence = sequence->data();
        }
        if (const auto expires = package.get_child_optional("expires")) {
            loaded.stamp_.expires = expires->data();
        }
        for (const auto& child : package.get_child("files")) {
            if (child.first != "file") {
                throw ManifestParseException();
            }
            loaded.files_.push_back(std::make_shared<StandardFileManifest>(child.second));
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const ManifestParseException&) {
        throw;  // a file's refusal keeps its message
    } catch (...) {
        throw ManifestParseException();
    }
    if (loaded.id_.empty() || loaded.name_.empty() || loaded.partnerId_.empty() ||
        loaded.versionId_.empty()) {
        throw ManifestParseException();
    }
    // Two files must never be written into one, and the total must be countable.
    std::set<std::string_view> paths;
    std::uint64_t total = 0;
    for (const auto& file : loaded.files_) {
        if (!paths.insert(RelativeFilePath(file->GetPath())).second) {
            throw ManifestParseException();
        }
        if (file->GetSize() > std::numeric_limits<std::uint64_t>::max() - total) {
            throw ManifestParseException();
        }
        total += file->GetSize();
    }
    for (const auto& file : loaded.files_) {
        loaded.marksExecutables_ = loaded.marksExecutables_ || file->IsMarkedExecutable();
        if (file->GetPath() == loaded.run_) {
            loaded.runFile_ = file;
            loaded.runFiles_.push_back(file);
        } else {
            loaded.otherFiles_.push_back(file);
        }
    }
    if (!loaded.run_.empty() && !loaded.runFile_) {
        throw ManifestParseException();
    }
    *this = std::move(loaded);
}

}  // namespace halcyne
