// The replacement operators live in a file of their own, so that no caller sees both halves inlined.
#include "manifest/FailingAllocation.hpp"

#include <cstdlib>
#include <new>

namespace {

// Allocations left before the next one fails; negative: never fail.
thread_local long allocationsBeforeFailure = -1;

}  // namespace

void halcyne::test::FailAllocationsAfter(long count) {
    allocationsBeforeFailure = count;
}

void* operator new(std::size_t size) {
    if (allocationsBeforeFailure == 0) {
        throw std::bad_alloc();
    }
    if (allocationsBeforeFailure > 0) {
        --allocationsBeforeFailure;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

// Every other form is replaced too, so that no block allocated by one family is freed by another (libraries
// such as Boost.Filesystem use the nothrow form; the sanitizers check that new and delete match).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return ::operator new(size, tag);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}

void operator delete[](void* memory) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
