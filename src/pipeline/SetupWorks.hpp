// The top of a package transfer's work tree:
//
//   TransferPackageWork (sequence)
//     InitializeTransferWork (sequence): GetManifestsWork, ConstructTransferFromPackageWork
//     DeferredWork (runs the TransferMultipleFilesWork assigned to it)
//     RemoveStagedFilesWork
//     AllowExecuteWork
//
// The tree's file set (TransferFileSet) carries the file data of every file from the file works, which keep
// an executable's file as it was verified, to AllowExecuteWork, which grants execution through that very
// file and never by reopening its path.
//
// Built by the transfer's workflow factory on the thread that creates the transfer; run on work-manager
// threads. The transfer's completion and initialize callbacks and the work log run on the thread that
// completes the work.
#pragma once

#include <memory>

#include "pipeline/TransferWork.hpp"
#include "work/CompositeWork.hpp"
#include "work/SimpleWork.hpp"

namespace halcyne {

class HttpSession;
class TransferFileSet;

class TransferPackageWork : public TransferWork, public SequentialWork {
public:
    // Gets a new HTTP session for the transfer from the behaviour's session factory.
    explicit TransferPackageWork(std::shared_ptr<TransferWorkInterface> workInterface);
    void Describe(boost::property_tree::ptree& tree) const override;
};

class InitializeTransferWork : public TransferWork, public SequentialWork {
public:
    // `files`, when given, receives the file data of every file of the tree that the construction builds.
    InitializeTransferWork(std::shared_ptr<TransferWorkInterface> workInterface,
                           std::shared_ptr<HttpSession> session, std::shared_ptr<DeferredWork> deferred,
                           std::shared_ptr<TransferFileSet> files = nullptr);
    void Describe(boost::property_tree::ptree& tree) const override;
};

// Once every file of the package is in place: removes the siblings ("<name>.halcyne-part") that are left in
// the folders of the package's files (a file's sibling is renamed or deleted when the file is closed, so
// what is left was built for a file that is complete by now or no longer in the package), except those that
// a running transfer of this process has open. It lists only those folders, never their subfolders. Never
// fails: a sibling that cannot be removed stays until a later run.
class RemoveStagedFilesWork : public TransferWork, public SimpleWork {
public:
    explicit RemoveStagedFilesWork(std::shared_ptr<TransferWorkInterface> workInterface);
    void Describe(boost::property_tree::ptree& tree) const override;
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}
};

class AllowExecuteWork : public TransferWork, public SimpleWork {
public:
    // `files`: the tree's file set, whose executables' verified files are made executable.
    explicit AllowExecuteWork(std::shared_ptr<TransferWorkInterface> workInterface,
                              std::shared_ptr<TransferFileSet> files = nullptr);
    void Describe(boost::property_tree::ptree& tree) const override;
    // Lets every executable file of the package (IsExecutableFile: the run file, marked files or programs
    // by extension) be executed, by changing the mode of the file that the file works verified (kept open
    // since; whatever is now under its path is not touched), then tells the transfer the run file's
    // identity and lets go of the files. An executable without a verified file is an internal error.
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}

private:
    const std::shared_ptr<TransferFileSet> files_;
};

}  // namespace halcyne
