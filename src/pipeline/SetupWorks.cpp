#include "pipeline/SetupWorks.hpp"

#include "file/FileException.hpp"
#include "file/SharedFile.hpp"
#include "file/SharedFileFactory.hpp"
#include "http/HttpSession.hpp"
#include "manifest/PackageManifest.hpp"
#include "pipeline/ManifestWorks.hpp"
#include "pipeline/TransferStatusData.hpp"
#include "pipeline/TransferWorkLog.hpp"

namespace halcyne {

// TransferPackageWork

TransferPackageWork::TransferPackageWork(std::shared_ptr<TransferWorkInterface> workInterface)
    : TransferWork(std::move(workInterface)) {
    const TransferBehavior& behavior = workInterface_->Behavior();
    auto deferred = MakeDeferredWork(WorkLogCompleteCallback(behavior));
    std::shared_ptr<HttpSession> session = behavior.sessionFactory->CreateSession();
    AddChild(std::make_shared<InitializeTransferWork>(workInterface_, session, deferred));
    AddChild(deferred);
    AddChild(std::make_shared<AllowExecuteWork>(workInterface_));
    AddWorkCompleteCallback(workInterface_->GetTransferCallback());
    AddWorkCompleteCallback(WorkLogCompleteCallback(behavior));
}

void TransferPackageWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "TransferPackageWork", true, *workInterface_);
}

// InitializeTransferWork

InitializeTransferWork::InitializeTransferWork(std::shared_ptr<TransferWorkInterface> workInterface,
                                               std::shared_ptr<HttpSession> session,
                                               std::shared_ptr<DeferredWork> deferred)
    : TransferWork(std::move(workInterface)) {
    AddChild(std::make_shared<GetManifestsWork>(workInterface_, session));
    AddChild(
        std::make_shared<ConstructTransferFromPackageWork>(workInterface_, session, std::move(deferred)));
    AddWorkCompleteCallback(workInterface_->GetInitializeCallback());
    AddWorkCompleteCallback(WorkLogCompleteCallback(workInterface_->Behavior()));
}

void InitializeTransferWork::Describe(boost::property_tree::ptree& tree) const {
    DescribeTransferWork(tree, "InitializeTransferWork", false, *workInterface_);
}

// AllowExecuteWork

AllowExecuteWork::AllowExecuteWork(std::shared_ptr<TransferWorkInterface> workInterface)
    : TransferWork(std::move(workInterface)),
      SimpleWork(WorkLogCompleteCallback(workInterface_->Behavior())) {}

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
        const std::string folder = workInterface_->GetParams().destPath;
        for (const std::shared_ptr<FileManifest>& file : package->GetFiles()) {
            const std::string& path = file->GetPath();
            if (!IsExecutableFile(*package, *file, factory)) {
                continue;
            }
            const std::shared_ptr<SharedFile> opened =
                factory.Create(folder, path, SharedFileMode::OpenExisting, 0, WholeFileUpperBound);
            if (!opened->AllowExecute()) {
                throw FileInUseException("AllowExecuteWork: cannot allow execution of " + path);
            }
        }
        return WorkStatus(WorkResult::Success);
    } catch (...) {
        return MakeTransferFileExceptionStatus();
    }
}

}  // namespace halcyne
