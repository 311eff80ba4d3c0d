// The kinds of transfer failure, and the interface of the status data that names one. Only the numbers
// travel in logs, analytics and stored state; the enum is one byte, so it is always written through ToInt,
// never as a character. A plain value, used on any thread.
#pragma once

#include <cstdint>
#include <string>

#include "work/WorkStatus.hpp"

namespace halcyne {

enum class TransferError : std::uint8_t {
    None = 0,               // no error
    ManifestError = 1,      // a manifest that cannot be understood, located or matched
    ConnectionError = 2,    // the network or the server failed
    OutOfMemory = 3,        // memory exhausted
    InsufficientSpace = 4,  // the disk is full
    FileAccessError = 5,    // a bad path, a file in use, access denied
    ChecksumMismatch = 6,   // a chunk whose checksum differs from the manifest
    FileError = 7,          // any other file failure
    RequestError = 8,       // a request refused for its URL or protocol, or failing otherwise
    InternalError = 9,      // an inconsistency or an unexpected exception
    NotPublished = 10,      // the manifest service has no such package or node list (HTTP 404 or 410)
    Unverified = 11,        // a signature or an https server's certificate was refused
};

inline int ToInt(TransferError error) {
    return static_cast<int>(error);
}

// The kind's name ("ConnectionError"), for messages and test output; "Unknown" for a value without one.
inline const char* ToName(TransferError error) {
    switch (error) {
        case TransferError::None:
            return "None";
        case TransferError::ManifestError:
            return "ManifestError";
        case TransferError::ConnectionError:
            return "ConnectionError";
        case TransferError::OutOfMemory:
            return "OutOfMemory";
        case TransferError::InsufficientSpace:
            return "InsufficientSpace";
        case TransferError::FileAccessError:
            return "FileAccessError";
        case TransferError::ChecksumMismatch:
            return "ChecksumMismatch";
        case TransferError::FileError:
            return "FileError";
        case TransferError::RequestError:
            return "RequestError";
        case TransferError::InternalError:
            return "InternalError";
        case TransferError::NotPublished:
            return "NotPublished";
        case TransferError::Unverified:
            return "Unverified";
    }
    return "Unknown";
}

// The decimal number of the kind ("9"), as descriptions and error strings write it.
inline std::string ToDecimal(TransferError error) {
    return std::to_string(ToInt(error));
}

// What a failing transfer work says about its failure (the works' own data classes, the request outcome):
// created on a work-manager thread, then immutable and shared by pointer with the composites, the workflow,
// the transfer and the event and log managers on any thread. Derives virtually from WorkStatusData, so that
// a status's data (a WorkStatusData pointer) casts to it whichever work data class it is combined with.
class TransferStatusData : public virtual WorkStatusData {
public:
    ~TransferStatusData() override = default;
    virtual TransferError ToTransferError() const = 0;
    // The failure in a few words, for the player's detail line and support ("HTTP 404 for http://..."):
    // by default the one-line error text. Never throws.
    virtual std::string Cause() const { return ToErrorString(); }
};

}  // namespace halcyne
