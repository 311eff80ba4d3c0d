// The guard around accesses to mapped file memory. On Linux a fault in a mapped file (the file was
// truncated under the mapping, the disk failed) raises SIGBUS, which would kill the process; inside a guard
// it ends the guarded call instead. Used by PosixMemoryMapView on whatever thread touches the view.
//
// Guards are per thread and nest. A SIGBUS whose address lies outside every active guard's range on the
// faulting thread (or that is not a memory fault at all) goes on to the handler that was installed before,
// or kills the process as it would have without the guard.
#pragma once

#include <cstddef>
#include <type_traits>

namespace halcyne {

namespace detail {
bool RunFaultGuarded(const void* begin, std::size_t length, void (*call)(void*), void* context);
}

// Runs `body()` and returns true; returns false when a fault inside [begin, begin + length) ended it early.
// The jump out of a fault skips destructors: between the start of `body` and its last access to the range,
// no object that needs its destructor may live in `body` or in anything it calls. C++ exceptions thrown by
// `body` propagate normally.
template <class Body>
bool RunFaultGuarded(const void* begin, std::size_t length, Body&& body) {
    return detail::RunFaultGuarded(
        begin, length, [](void* context) { (*static_cast<std::remove_reference_t<Body>*>(context))(); },
        &body);
}

}  // namespace halcyne
