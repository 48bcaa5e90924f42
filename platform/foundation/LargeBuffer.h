#pragma once

#include <cstddef>
#include <vector>

namespace platform {

/// Whether this kernel backs ordinary memory with large pages only where a program asks for them.
bool largePagesOnlyOnRequest();

/// Reserves room for `size` bytes in `buffer` and, where the kernel gives large pages only on request, asks
/// for them there. A large file's bytes arrive a megabyte at a time into room that was never touched: with
/// ordinary pages each megabyte costs 256 page faults, most of the time it takes to collect a file in memory.
/// A kernel that gives large pages unasked is not asked: there the advice would only let a fault wait for
/// memory to be reclaimed and compacted, which a copy should not wait for.
void reserveLarge(std::vector<std::byte>& buffer, std::size_t size);

} // namespace platform
