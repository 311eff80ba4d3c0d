#include "pipeline/TransferSharedFileData.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "common/Paths.hpp"
#include "file/BoundedFileData.hpp"
#include "file/FileException.hpp"
#include "file/SharedFile.hpp"
#include "file/SharedFileFactory.hpp"
#include "manifest/PackageManifest.hpp"

namespace halcyne {

namespace {

// The siblings that file data of this process has open, or is about to open, by their absolute path; a
// count for each, since two transfers may name the same file. Taken inside a file data's mutex and by the
// removal of stale siblings; it guards the map alone and is held while such a sibling is deleted, so that no
// file data can open it in between.
std::mutex inUseMutex;
std::map<std::string, int> inUse;

std::string InUseKey(const std::string& folder, const std::string& path) {
    const std::string relative = path.substr(std::min(path.find_first_not_of('/'), path.size()));
    try {
        return boost::filesystem::path(JoinPath(folder, relative)).lexically_normal().string();
    } catch (const std::exception&) {
        return folder + "/" + relative;
    }
}

// Whether nothing at all is at `name` in `folder` (nor at a folder on its way), by one look at the path. In
// a new download neither a file nor its sibling exists yet: this answers that where the factory's refusal
// costs a walk of the path and an exception for every file. Only this answer is taken from it (the factory
// refuses such a name too); anything else, and any doubt, is left to the factory, which checks properly.
bool NothingThere(const std::string& folder, const std::string& name) noexcept {
    try {
        boost::system::error_code error;
        const boost::filesystem::file_status status =
            boost::filesystem::symlink_status(JoinPath(folder, name), error);
        return status.type() == boost::filesystem::file_not_found;
    } catch (...) {
        return false;
    }
}

// The file `name` if it exists; empty when it does not (or the name cannot be a file there, which creating
// it will report).
std::shared_ptr<SharedFile> OpenIfPresent(SharedFileFactory& factory, const std::string& folder,
                                          const std::string& name, std::uint64_t upperBound) {
    if (NothingThere(folder, name)) {
        return nullptr;
    }
    try {
        return factory.Create(folder, name, SharedFileMode::OpenExisting, 0, upperBound);
    } catch (const FileBadPathException&) {
        return nullptr;
    }
}

}  // namespace

TransferSharedFileData::TransferSharedFileData(std::string filePath, std::uint64_t fileSize, bool executable)
    : filePath(std::move(filePath)), fileSize(fileSize), executable(executable) {}

TransferSharedFileData::~TransferSharedFileData() {
    const std::lock_guard lock(mutex_);
    ReleaseLocked();
}

void TransferSharedFileData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("filePath", filePath);
    tree.put("fileSize", std::to_string(fileSize));
}

std::string TransferSharedFileData::StagedPath() const {
    return filePath + std::string(StagedFileSuffix);
}

void TransferSharedFileData::Open(SharedFileFactory& factory, const std::string& folder) {
    const std::lock_guard lock(mutex_);
    ReleaseLocked();
    try {
        factory_ = &factory;
        folder_ = folder;
        registered_ = InUseKey(folder, StagedPath());
        {
            const std::lock_guard registry(inUseMutex);
            ++inUse[registered_];
        }
        const std::string staged = StagedPath();
        const std::uint64_t upper = fileSize == 0 ? WholeFileUpperBound : fileSize - 1;
        std::shared_ptr<SharedFile> present = OpenIfPresent(factory, folder, filePath, WholeFileUpperBound);
        std::shared_ptr<SharedFile> leftover = OpenIfPresent(factory, folder, staged, upper);
        if (leftover && leftover->Size() != fileSize) {
            // Built for another version of the file: of no use.
            leftover.reset();
            factory.Delete(folder, staged);
        }
        siblingOnDisk_ = leftover != nullptr;
        if (leftover && executable) {
            leftover->DenyExecute();  // it is incomplete, whoever changed its mode
        }
        if (present && present->Size() == fileSize && present->Identity().links <= 1) {
            target_ = present;
            inPlace_ = std::move(present);
            sibling_ = std::move(leftover);
            return;
        }
        sibling_ = leftover ? std::move(leftover) : CreateSibling();
        target_ = sibling_;
        inPlace_ = std::move(present);
        staged_ = true;
    } catch (...) {
        ReleaseLocked();
        throw;
    }
}

void TransferSharedFileData::UseFile(std::shared_ptr<SharedFile> file) {
    const std::lock_guard lock(mutex_);
    ReleaseLocked();
    target_ = file;
    inPlace_ = std::move(file);
}

std::shared_ptr<SharedFile> TransferSharedFileData::CreateSibling() {
    const std::string staged = StagedPath();
    const std::uint64_t upper = fileSize == 0 ? WholeFileUpperBound : fileSize - 1;
    // A new file: never one that someone has put there meanwhile (a link would be followed).
    std::shared_ptr<SharedFile> sibling;
    try {
        sibling = factory_->Create(folder_, staged, SharedFileMode::CreateNew, 0, upper);
    } catch (const FileInUseException&) {
        // Something that could not be opened as a sibling has the name (a dangling link, say): the name is
        // this file's, so it goes.
        factory_->Delete(folder_, staged);
        sibling = factory_->Create(folder_, staged, SharedFileMode::CreateNew, 0, upper);
    }
    siblingOnDisk_ = true;
    try {
        // A size the disk cannot hold is refused before it is tried: a reservation that fails fills the disk
        // up to its last block first (every other program that writes there fails meanwhile).
        boost::system::error_code error;
        const boost::filesystem::space_info space = boost::filesystem::space(folder_, error);
        if (!error && fileSize > space.available) {
            throw FileInsufficientSpaceException(staged + ": " + std::to_string(fileSize) + " bytes, " +
                                                 std::to_string(space.available) + " available");
        }
        if (!sibling->Allocate(fileSize)) {
            throw FileInUseException(staged + " changed its length while it was being allocated");
        }
    } catch (...) {
        // Nothing of it is of use; the file under the name stays as it was.
        sibling.reset();
        if (factory_->Delete(folder_, staged)) {
            siblingOnDisk_ = false;
        }
        throw;
    }
    if (executable) {
        sibling->DenyExecute();  // only a ban while it is incomplete; its result does not matter
    }
    return sibling;
}

std::shared_ptr<SharedFile> TransferSharedFileData::Target() const {
    const std::lock_guard lock(mutex_);
    return target_;
}

bool TransferSharedFileData::IsStaged() const {
    const std::lock_guard lock(mutex_);
    return staged_;
}

void TransferSharedFileData::KeepIntact(const SharedFile* viewed, std::uint64_t offset,
                                        std::uint64_t length) {
    const std::lock_guard lock(mutex_);
    if (viewed == nullptr || viewed != inPlace_.get()) {
        return;  // verified in the sibling, where it stays
    }
    if (!staged_) {
        intact_.emplace_back(offset, length);
        return;
    }
    sibling_->CopyRange(*inPlace_, offset, length);
}

TransferSharedFileData::Staging TransferSharedFileData::Stage() {
    const std::lock_guard lock(mutex_);
    if (!target_) {
        throw std::logic_error("TransferSharedFileData::Stage called without an open file");
    }
    if (!staged_) {
        if (factory_ == nullptr) {
            throw std::logic_error("TransferSharedFileData::Stage called for a file without a folder");
        }
        if (!sibling_) {
            sibling_ = CreateSibling();
        }
        while (!intact_.empty()) {
            const auto [offset, length] = intact_.back();
            sibling_->CopyRange(*inPlace_, offset, length);
            intact_.pop_back();
        }
        target_ = sibling_;
        staged_ = true;
    }
    return Staging{sibling_, inPlace_};
}

void TransferSharedFileData::Close() {
    const std::lock_guard lock(mutex_);
    if (!target_) {
        return;
    }
    if (staged_) {
        // The bytes reach the disk before the name does, so that a crash never leaves an empty file there.
        sibling_->Sync();
        factory_->Rename(folder_, StagedPath(), filePath);
        siblingOnDisk_ = false;
        staged_ = false;
        inPlace_ = sibling_;
        sibling_.reset();
    } else if (sibling_) {
        // Every chunk was intact in place: what an earlier run left is stale.
        sibling_.reset();
        if (factory_ != nullptr && factory_->Delete(folder_, StagedPath())) {
            siblingOnDisk_ = false;
        }
    }
    std::shared_ptr<SharedFile> verified = executable ? target_ : nullptr;
    ReleaseLocked();
    verified_ = std::move(verified);
}

bool TransferSharedFileData::Discard() {
    const std::lock_guard lock(mutex_);
    if (!target_) {
        return false;
    }
    // Whatever the bytes are, they are not the published file: nothing may run them, even when the deletion
    // fails (a file kept from an earlier run may have been executable).
    target_->DenyExecute();
    const bool staged = staged_;
    ReleaseLocked();
    if (factory_ == nullptr) {
        return false;
    }
    if (staged) {
        const bool deleted = factory_->Delete(folder_, StagedPath());
        siblingOnDisk_ = siblingOnDisk_ && !deleted;
        return deleted;
    }
    return factory_->Delete(folder_, filePath);
}

std::shared_ptr<SharedFile> TransferSharedFileData::VerifiedFile() const {
    const std::lock_guard lock(mutex_);
    return verified_;
}

void TransferSharedFileData::ReleaseVerified() {
    const std::lock_guard lock(mutex_);
    verified_.reset();
}

void TransferSharedFileData::Release() {
    const std::lock_guard lock(mutex_);
    ReleaseLocked();
}

void TransferSharedFileData::ReleaseKeepingVerified() {
    const std::lock_guard lock(mutex_);
    std::shared_ptr<SharedFile> verified = std::move(verified_);
    ReleaseLocked();
    verified_ = std::move(verified);
}

void TransferSharedFileData::ReleaseLocked() {
    target_.reset();
    inPlace_.reset();
    sibling_.reset();
    verified_.reset();
    staged_ = false;
    intact_.clear();
    if (!registered_.empty()) {
        const std::lock_guard registry(inUseMutex);
        const auto entry = inUse.find(registered_);
        if (entry != inUse.end() && --entry->second <= 0) {
            inUse.erase(entry);
        }
        registered_.clear();
    }
}

bool TransferSharedFileData::StagedFileLeft() const {
    const std::lock_guard lock(mutex_);
    return siblingOnDisk_;
}

void TransferSharedFileData::RecordSender(const std::string& host) {
    std::string key = boost::algorithm::to_lower_copy(host);
    const std::lock_guard lock(mutex_);
    ++sent_[std::move(key)];
}

bool TransferSharedFileData::BeginRefetch(unsigned limit, const std::vector<std::string>& candidates) {
    const std::lock_guard lock(mutex_);
    if (sources_.size() >= limit) {
        return false;
    }
    std::optional<std::string> best;
    std::uint64_t fewest = 0;
    for (const std::string& candidate : candidates) {
        std::string host = boost::algorithm::to_lower_copy(candidate);
        if (std::find(sources_.begin(), sources_.end(), host) != sources_.end()) {
            continue;
        }
        const auto found = sent_.find(host);
        const std::uint64_t sent = found == sent_.end() ? 0 : found->second;
        if (!best || sent < fewest) {
            best = std::move(host);
            fewest = sent;
        }
    }
    if (!best) {
        return false;
    }
    sources_.push_back(std::move(*best));
    return true;
}

std::string TransferSharedFileData::RefetchSource() const {
    const std::lock_guard lock(mutex_);
    return sources_.empty() ? std::string() : sources_.back();
}

bool TransferSharedFileData::DeleteUnusedStagedFile(SharedFileFactory& factory, const std::string& folder,
                                                    const std::string& stagedPath) {
    const std::lock_guard registry(inUseMutex);
    if (inUse.count(InUseKey(folder, stagedPath)) != 0) {
        return false;
    }
    return factory.Delete(folder, stagedPath);
}

// TransferFileSet

void TransferFileSet::Add(std::shared_ptr<TransferSharedFileData> file) {
    const std::lock_guard lock(mutex_);
    std::string path = file->filePath;
    files_.insert_or_assign(std::move(path), std::move(file));
}

std::shared_ptr<TransferSharedFileData> TransferFileSet::Find(const std::string& path) const {
    const std::lock_guard lock(mutex_);
    const auto found = files_.find(path);
    return found == files_.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<TransferSharedFileData>> TransferFileSet::Files() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<TransferSharedFileData>> files;
    files.reserve(files_.size());
    for (const auto& entry : files_) {
        files.push_back(entry.second);
    }
    return files;
}

}  // namespace halcyne
