// The general status data of the transfer works: a failure told by a message, by a caught exception, or by a
// file exception that classifies itself (their interface TransferStatusData and the kinds TransferError are
// in common/TransferError.hpp). Created by a work on a work-manager thread, then immutable and shared by
// pointer with the composites, the workflow, the transfer and the event and log managers on any thread.
#pragma once

#include <exception>
#include <memory>
#include <string>

#include "common/TransferError.hpp"
#include "work/WorkStatus.hpp"

namespace halcyne {

// A failure described by a message: the works' own consistency checks, errors given to a transfer.
class TransferErrorData : public TransferStatusData, public WorkErrorData {
public:
    TransferErrorData(TransferError transferError, std::string errorMessage);
    TransferError ToTransferError() const override { return transferError_; }
    // "transferError" (decimal), then "errorMessage".
    void Describe(boost::property_tree::ptree& tree) const override;
    // "error|<kind>|<message>".
    std::string ToErrorString() const override;
    // The message.
    std::string Cause() const override { return ErrorMessage(); }

private:
    const TransferError transferError_;
};

// A failure described by a captured exception whose kind the catching work knows.
class TransferExceptionData : public TransferStatusData, public WorkExceptionData {
public:
    TransferExceptionData(TransferError transferError, std::exception_ptr exception);
    TransferError ToTransferError() const override { return transferError_; }
    // "transferError" (decimal), then "exception" and "what". Never throws.
    void Describe(boost::property_tree::ptree& tree) const override;
    // "error|<kind>|<exception type name>". Never throws.
    std::string ToErrorString() const override;
    // The exception's message, or its type name when it has none. Never throws.
    std::string Cause() const override { return Message(); }

private:
    const TransferError transferError_;
};

// A captured exception classified by its type (the catch-all of the simple transfer works): file errors
// that may pass (a file in use, access denied, a full disk) are retryable, everything else is final.
class TransferFileExceptionData : public TransferExceptionData {
public:
    // An empty pointer classifies as InternalError, not retryable.
    explicit TransferFileExceptionData(std::exception_ptr exception);
    bool Retryable() const { return retryable_; }

private:
    struct Classification {
        TransferError transferError;
        bool retryable;
    };
    static Classification Classify(const std::exception_ptr& exception);
    TransferFileExceptionData(std::exception_ptr exception, Classification classification);

    const bool retryable_;
};

// The status a simple transfer work finishes with when its task threw: RetryableError when the exception
// classifies as retryable, Error otherwise, with a TransferFileExceptionData.
WorkStatus MakeTransferFileExceptionStatus(std::exception_ptr exception = std::current_exception());

}  // namespace halcyne
