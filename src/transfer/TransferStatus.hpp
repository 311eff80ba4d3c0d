// The status record that every transfer operation returns: a plain value, copied and read on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "common/NoValueMarker.hpp"
#include "common/TransferError.hpp"
#include "file/FileIdentity.hpp"
#include "transfer/TransferState.hpp"

namespace halcyne {

struct TransferStatus {
    // The status of a transfer that could not be created: no id, "?" everywhere, state Absent, error
    // InternalError.
    TransferStatus() = default;
    // A status for this id in this state: ids "?", destination empty, no error.
    TransferStatus(std::string transferId, TransferState state)
        : transferId(std::move(transferId)), destPath(), state(state), error(TransferError::None) {}

    std::string transferId;
    std::string partnerId{NoValueMarker};
    std::string packageId{NoValueMarker};
    std::string versionId{NoValueMarker};
    std::string destPath{NoValueMarker};
    TransferState state = TransferState::Absent;
    TransferError error = TransferError::InternalError;
    bool retrying = false;
    // What caused the error, in a few words ("HTTP 404 for http://..."); empty without an error.
    std::string errorCause;
    std::string runPath;   // the package's run path, only while Complete
    FileIdentity runFile;  // the run file as it was verified and made executable, only while Complete
    std::uint64_t transferredBytes = 0;
    std::uint64_t progressBytes = 0;
    std::uint64_t verifiedBytes = 0;
    std::uint64_t totalBytes = 0;
    std::uint64_t bytesPerSecond = 0;
    // The read-back checks of data on disk (whole-file hashes, chunks an earlier run left) begun so far and
    // the bytes of them read: a check runs while checkedBytes < checkingBytes.
    std::uint64_t checkingBytes = 0;
    std::uint64_t checkedBytes = 0;
    std::int32_t secondsRemaining = -1;  // -1: no estimate
};

}  // namespace halcyne
