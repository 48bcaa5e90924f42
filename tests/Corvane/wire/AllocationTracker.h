#pragma once

#include <cstddef>

namespace corvane::testing {

/// Records the largest single allocation made through operator new while it lives. This test program
/// replaces the global operator new for it: that is the only way to see an allocation that a parser makes
/// and then drops with its exception. Not for use on more than one thread at a time.
class AllocationTracker {
public:
    AllocationTracker();
    ~AllocationTracker();
    AllocationTracker(const AllocationTracker&) = delete;
    AllocationTracker& operator=(const AllocationTracker&) = delete;

    std::size_t largest() const;
};

} // namespace corvane::testing
