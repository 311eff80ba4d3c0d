#include "pipeline/SetupWorks.hpp"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

#include "common/Paths.hpp"
#include "file/FileException.hpp"
#include "file/FileIdentity.hpp"
#include "file/SharedFile.hpp"
#include "file/SharedFileFactory.hpp"
#include "http/HttpSession.hpp"
#include "manifest/PackageManifest.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "pipeline/TransferSharedFileData.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "pipeline/TransferWorkLog.hpp"

namespace halcyne {

// TransferPackageWork

TransferPackageWork::TransferPackageWork(std::shared_ptr<TransferWorkInterface> workInterface)
    : TransferWork(std::move(workInterface)) {
    const TransferBehavior& behavior = workInterface_->Behavior();
    auto deferred = MakeDeferredWork(WorkLogCompleteCallback(behavior));
    auto files = std::make_shared<TransferFileSet>();
    std::shared_ptr<HttpSession> session = behavior.sessionFactory->CreateSession();
    AddChild(std::make_shared<InitializeTransferWork>(workInterface_, session, deferred, files));
    AddChild(deferred);
    AddChild(std::make_shared<RemoveStagedFilesWork>(workInterface_));
    AddChild(std::make_shared<AllowExecuteWork>(workInterface_, files));
    AddWorkCompleteCallback(workInterface_->GetTransferCallback());
    AddWorkCompleteCallback(WorkLogCompleteCallback(behavior));
}

void TransferPackageWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "TransferPackageWork", true, *workInterface_);
}

// InitializeTransferWork

InitializeTransferWork::InitializeTransferWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                               std::shared_ptr<HttpSession> session,
                                               std::shared_ptr<DeferredWork> deferred,
                                               std::shared_ptr<TransferFileSet> files)
    : TransferWork(std::move(workInterface)) {
    AddChild(std::make_shared<GetManifestsWork>(workInterface_, session));
    AddChild(std::make_shared<ConstructTransferFromPackageWork>(workInterface_, session, std::move(deferred),
                                                                std::move(files)));
    AddWorkCompleteCallback(workInterface_->GetInitializeCallback());
    AddWorkCompleteCallback(WorkLogCompleteCallback(workInterface_->Behavior()));
}

void InitializeTransferWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "InitializeTransferWork", false, *workInterface_);
}

// RemoveStagedFilesWork

RemoveStagedFilesWork::RemoveStagedFilesWork(std::shared_ptr<TransferWorkInterface> workInterface)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())) {}

void RemoveStagedFilesWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "RemoveStagedFilesWork", false, *workInterface_);
}

namespace {

// The folder of a package path, relative to the destination ("" for the destination itself); nullopt for a
// path that climbs out of it (the file works refuse such a path anyway).
std::optional<std::string> FolderOf(const std::string& path) {
    const std::size_t start = std::min(path.find_first_not_of('/'), path.size());
    const std::size_t slash = path.rfind('/');
    const std::string folder =
        slash == std::string::npos || slash < start ? std::string() : path.substr(start, slash - start);
    for (std::size_t from = 0; from <= folder.size();) {
        const std::size_t end = std::min(folder.find('/', from), folder.size());
        if (folder.compare(from, end - from, "..") == 0) {
            return std::nullopt;
        }
        from = end + 1;
    }
    return folder;
}

}  // namespace

WorkStatus RemoveStagedFilesWork::ExecuteTask() {
    const std::shared_ptr<PackageManifest> package = workInterface_->GetPackage();
    if (!package) {
        return WorkStatus(WorkResult::Success);
    }
    SharedFileFactory& factory = *workInterface_->Behavior().sharedFileFactory;
    const std::string destination = workInterface_->GetParams().destPath;
    std::set<std::string> folders;
    for (const std::shared_ptr<FileManifest>& file : package->GetFiles()) {
        if (const auto folder = FolderOf(file->GetPath())) {
            folders.insert(*folder);
        }
    }
    for (const std::string& folder : folders) {
        try {
            std::error_code error;
            const std::filesystem::path listed = JoinPath(destination, folder);
            std::vector<std::string> staged;
            for (std::filesystem::directory_iterator it(listed, error), end; !error && it != end;
                 it.increment(error)) {
                const std::string name = it->path().filename().string();
                if (name.size() > StagedFileSuffix.size() &&
                    name.compare(name.size() - StagedFileSuffix.size(), StagedFileSuffix.size(),
                                 StagedFileSuffix) == 0) {
                    staged.push_back(folder.empty() ? name : folder + "/" + name);
                }
            }
            for (const std::string& name : staged) {
                TransferSharedFileData::DeleteUnusedStagedFile(factory, destination, name);
            }
        } catch (const std::exception&) {
            // Left for a later run.
        }
    }
    return WorkStatus(WorkResult::Success);
}

// AllowExecuteWork

AllowExecuteWork::AllowExecuteWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                   std::shared_ptr<TransferFileSet> files)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())),
      files_(std::move(files)) {}

void AllowExecuteWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "AllowExecuteWork", true, *workInterface_);
}

WorkStatus AllowExecuteWork::ExecuteTask() {
    try {
        const std::shared_ptr<PackageManifest> package = workInterface_->GetPackage();
        if (!package) {
            return WorkStatus(WorkResult::Error, std::make_shared<TransferErrorData>(
                                                     TransferError::InternalError,
                                                     "AllowExecuteWork::ExecuteTask has no package"));
        }
        SharedFileFactory& factory = *workInterface_->Behavior().sharedFileFactory;
        std::optional<FileIdentity> runFile;
        for (const std::shared_ptr<FileManifest>& file : package->GetFiles()) {
            if (!IsExecutableFile(*package, *file, factory)) {
                continue;
            }
            const std::string& path = file->GetPath();
            const std::shared_ptr<TransferSharedFileData> data = files_ ? files_->Find(path) : nullptr;
            const std::shared_ptr<SharedFile> verified = data ? data->VerifiedFile() : nullptr;
            if (!verified) {
                return WorkStatus(WorkResult::Error,
                                  std::make_shared<TransferErrorData>(
                                      TransferError::InternalError,
                                      "AllowExecuteWork::ExecuteTask has no verified file for " + path));
            }
            if (!verified->AllowExecute()) {
                throw FileInUseException("AllowExecuteWork: cannot allow execution of " + path);
            }
            if (path == package->GetRun()) {
                runFile = verified->Identity();
            }
        }
        if (runFile) {
            workInterface_->OnRunFileVerified(*runFile);
        }
        // The package's programs are started once it is complete, and a program cannot be started while it is
        // open for writing.
        if (files_) {
            for (const auto& data : files_->Files()) {
                data->ReleaseVerified();
            }
        }
        return WorkStatus(WorkResult::Success);
    } catch (...) {
        return MakeTransferFileExceptionStatus();
    }
}

}  // namespace halcyne
