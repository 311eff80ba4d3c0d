#include "manifest/ManifestStoreImpl.hpp"

#include <cstdint>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>

#include <boost/property_tree/ptree.hpp>

#include "common/Paths.hpp"
#include "file/FileException.hpp"
#include "file/SharedFileFactory.hpp"
#include "manifest/ManifestException.hpp"
#include "manifest/StoreJson.hpp"

namespace halcyne {

TempFileManifestStoreImpl::TempFileManifestStoreImpl(std::string folder, SharedFileFactory* fileFactory)
    : folder_(std::move(folder)), fileFactory_(fileFactory) {}

bool TempFileManifestStoreImpl::IsValidId(const std::string& id) {
    if (id.size() != 32) {
        return false;
    }
    for (const char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string TempFileManifestStoreImpl::RelativeName(const std::string& id) {
    const std::string file = FileName(id);
    if (folder_.empty() || folder_.back() == '/' || (!file.empty() && file.front() == '/')) {
        return folder_ + file;
    }
    return folder_ + "/" + file;
}

void TempFileManifestStoreImpl::Fetch(const std::string& id, std::iostream& into) {
    if (!IsValidId(id)) {
        throw ManifestLocatorException();
    }
    // Without a temporary directory there is nowhere to look: nothing is read relative to the current folder.
    const std::string base = TemporaryDirectory();
    if (base.empty()) {
        throw ManifestLocatorException();
    }
    std::shared_ptr<SharedFile> file;
    try {
        file = fileFactory_->Create(base, RelativeName(id), SharedFileMode::OpenExisting, 0,
                                    WholeFileUpperBound);
    } catch (const FileBadPathException&) {
        throw ManifestLocatorException();
    } catch (...) {
        throw ManifestStreamException();
    }
    std::uint64_t total = 0;
    try {
        char buffer[BoundedFileData::ReadStep];
        for (;;) {
            const std::uint32_t count = file->Read(buffer, sizeof buffer);
            total += count;
            if (total > MaxFileSize) {
                break;
            }
            into.write(buffer, count);
            if (count < sizeof buffer) {
                break;
            }
        }
    } catch (...) {
        throw ManifestStreamException();
    }
    if (total > MaxFileSize) {
        throw ManifestStreamException("the stored manifest is larger than " + std::to_string(MaxFileSize) +
                                      " bytes");
    }
    if (!into.good()) {
        throw ManifestStreamException();
    }
}

void TempFileManifestStoreImpl::Write(std::iostream& from, const std::string& id) {
    if (!IsValidId(id)) {
        throw ManifestLocatorException();
    }
    const std::string base = TemporaryDirectory();
    if (base.empty()) {
        throw ManifestStreamException();
    }
    // The text is taken before the file is created, so that a bad stream leaves no file behind.
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(from), std::istreambuf_iterator<char>());
    } catch (...) {
        throw ManifestStreamException();
    }
    if (!from.good() || text.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw ManifestStreamException();
    }
    // The store's folders are private to the user whatever the temporary directory's own mode is, and a
    // folder on the way that is not (a link, another user's, writable by others) is never written into.
    if (!folder_.empty() && !CreatePrivateFolder(JoinPath(base, folder_))) {
        throw ManifestStreamException();
    }
    const std::string name = RelativeName(id);
    std::shared_ptr<SharedFile> file;
    try {
        file = fileFactory_->Create(base, name, SharedFileMode::CreateNew, 0, WholeFileUpperBound);
    } catch (const FileInUseException&) {
        throw ManifestLocatorException();
    } catch (...) {
        throw ManifestStreamException();
    }
    bool written = false;
    try {
        const auto size = static_cast<std::uint32_t>(text.size());
        written = file->Write(text.data(), size) == size;
    } catch (...) {
    }
    if (!written) {
        // This call created the file, so removing it takes nothing from anyone else; a short or empty file
        // left behind would fail every later Load and Save of the id.
        file.reset();
        fileFactory_->Delete(base, name);
        throw ManifestStreamException();
    }
}

bool TempFileManifestStoreImpl::Remove(const std::string& id) {
    if (!IsValidId(id)) {
        return false;
    }
    try {
        const std::string base = TemporaryDirectory();
        if (base.empty()) {
            return false;
        }
        return fileFactory_->Delete(base, RelativeName(id));
    } catch (...) {
        return false;
    }
}

void JsonTempFileManifestStoreImpl::Parse(std::iostream& from, boost::property_tree::ptree& into) {
    try {
        const std::string text{std::istreambuf_iterator<char>(from), std::istreambuf_iterator<char>()};
        into = ReadStoreJson(text, MaxDepth);
    } catch (...) {
        throw ManifestParseException();
    }
}

std::string JsonTempFileManifestStoreImpl::FileName(const std::string& id) {
    return id + ".json";
}

void JsonTempFileManifestStoreImpl::Serialize(const boost::property_tree::ptree& tree, std::iostream& into) {
    try {
        into << WriteStoreJson(tree);
    } catch (...) {
        throw ManifestParseException();
    }
}

}  // namespace halcyne
