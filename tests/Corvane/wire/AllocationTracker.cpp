#include "AllocationTracker.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> tracking{false};
std::atomic<std::size_t> largestAllocation{0};

} // namespace

namespace corvane::testing {

AllocationTracker::AllocationTracker() {
    largestAllocation = 0;
    tracking = true;
}

AllocationTracker::~AllocationTracker() {
    tracking = false;
}

std::size_t AllocationTracker::largest() const {
    return largestAllocation.load();
}

} // namespace corvane::testing

// These stay in their own file: seen next to a new-expression, the compiler flags the malloc/free pair.
void* operator new(std::size_t size) {
    if (tracking.load(std::memory_order_relaxed)) {
        std::size_t seen = largestAllocation.load(std::memory_order_relaxed);
        while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) {
        }
    }
    if (void* pointer = std::malloc(size == 0 ? 1 : size)) {
        return pointer;
    }
    throw std::bad_alloc();
}

void operator delete(void* pointer) noexcept {
    std::free(pointer);
}

void operator delete(void* pointer, std::size_t) noexcept {
    std::free(pointer);
}
