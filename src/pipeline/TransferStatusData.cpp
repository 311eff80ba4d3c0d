#include "pipeline/TransferStatusData.hpp"

#include <new>

#include "file/FileException.hpp"

namespace halcyne {

TransferErrorData::TransferErrorData(TransferError transferError, std::string errorMessage)
    : WorkErrorData(std::move(errorMessage)), transferError_(transferError) {}

void TransferErrorData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("transferError", ToDecimal(transferError_));
    WorkErrorData::Describe(tree);
}

std::string TransferErrorData::ToErrorString() const {
    return "error|" + ToDecimal(transferError_) + "|" + WorkErrorData::ToErrorString();
}

TransferExceptionData::TransferExceptionData(TransferError transferError, std::exception_ptr exception)
    : WorkExceptionData(std::move(exception)), transferError_(transferError) {}

void TransferExceptionData::Describe(boost::property_tree::ptree& tree) const {
    tree.put("transferError", ToDecimal(transferError_));
    WorkExceptionData::Describe(tree);
}

std::string TransferExceptionData::ToErrorString() const {
    return "error|" + ToDecimal(transferError_) + "|" + WorkExceptionData::ToErrorString();
}

TransferFileExceptionData::TransferFileExceptionData(std::exception_ptr exception)
    : TransferFileExceptionData(exception, Classify(exception)) {}

TransferFileExceptionData::TransferFileExceptionData(std::exception_ptr exception,
                                                     Classification classification)
    : TransferExceptionData(classification.transferError, std::move(exception)),
      retryable_(classification.retryable) {}

TransferFileExceptionData::Classification TransferFileExceptionData::Classify(
    const std::exception_ptr& exception) {
    if (!exception) {
        return {TransferError::InternalError, false};
    }
    // The first matching clause wins: the order of the clauses is the classification.
    try {
        std::rethrow_exception(exception);
    } catch (const FileBadPathException&) {
        return {TransferError::FileAccessError, false};
    } catch (const FileInUseException&) {
        return {TransferError::FileAccessError, true};
    } catch (const FileInaccessibleException&) {
        return {TransferError::FileAccessError, true};
    } catch (const FileInsufficientSpaceException&) {
        return {TransferError::InsufficientSpace, true};
    } catch (const FileOutOfBoundsException&) {
        return {TransferError::InternalError, false};
    } catch (const FileException&) {
        return {TransferError::FileError, false};
    } catch (const std::bad_alloc&) {
        return {TransferError::OutOfMemory, false};
    } catch (...) {
        return {TransferError::InternalError, false};
    }
}

WorkStatus MakeTransferFileExceptionStatus(std::exception_ptr exception) {
    auto data = std::make_shared<TransferFileExceptionData>(std::move(exception));
    const WorkResult result = data->Retryable() ? WorkResult::RetryableError : WorkResult::Error;
    return WorkStatus(result, std::move(data));
}

}  // namespace halcyne
