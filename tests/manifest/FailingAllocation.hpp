// Replaces the global operator new of the manifest tests with one that can be told to fail: a fault
// switch for the allocation-failure loops. Off unless a test turns it on, and per thread.
#pragma once

namespace halcyne::test {

// The next `count` allocations of the calling thread succeed and the one after throws std::bad_alloc;
// a negative count turns failing off.
void FailAllocationsAfter(long count);

}  // namespace halcyne::test
