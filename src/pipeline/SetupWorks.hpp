// The top of a package transfer's work tree:
//
//   TransferPackageWork (sequence)
//     InitializeTransferWork (sequence): GetManifestsWork, ConstructTransferFromPackageWork
//     DeferredWork (runs the TransferMultipleFilesWork assigned to it)
//     AllowExecuteWork
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

class TransferPackageWork : public TransferWork, public SequentialWork {
public:
    // Gets a new HTTP session for the transfer from the behaviour's session factory.
    explicit TransferPackageWork(std::shared_ptr<TransferWorkInterface> workInterface);
    void Describe(boost::property_tree::ptree& tree) const override;
};

class InitializeTransferWork : public TransferWork, public SequentialWork {
public:
    InitializeTransferWork(std::shared_ptr<TransferWorkInterface> workInterface,
                           std::shared_ptr<HttpSession> session, std::shared_ptr<DeferredWork> deferred);
    void Describe(boost::property_tree::ptree& tree) const override;
};

class AllowExecuteWork : public TransferWork, public SimpleWork {
public:
    explicit AllowExecuteWork(std::shared_ptr<TransferWorkInterface> workInterface);
    void Describe(boost::property_tree::ptree& tree) const override;
    // Lets every program of the package, and the package's run file, be executed.
    WorkStatus ExecuteTask() override;
    void Interrupt() override {}
};

}  // namespace halcyne
