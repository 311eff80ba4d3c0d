// The state of a transfer, one byte. A plain value: read and copied on any thread.
#pragma once

#include <cstdint>

namespace halcyne {

enum class TransferState : std::uint8_t {
    Absent = 0,              // no transfer: a status for an unknown id or a failed creation
    Initializing = 1,        // created; acquiring the package manifest and the node list
    InitializingPaused = 2,  // paused while initializing
    Initialized = 3,         // package and node list known; waiting for Start
    Transferring = 4,        // moving the package's files into the destination
    Paused = 5,              // paused while transferring
    Suspended = 6,           // stopped with its parameters kept for Restore
    Complete = 7,            // every byte transferred and verified
    Cancelled = 8,           // cancelled
};

}  // namespace halcyne
