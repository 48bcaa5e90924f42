#pragma once

#include <cstddef>
#include <vector>

namespace platform {

/// Reserves room for `size` bytes in `buffer` and asks the kernel to back that room with large pages where it
/// can. A large file's bytes arrive a megabyte at a time into room that was never touched: with ordinary
/// pages each megabyte costs 256 page faults, most of the time it takes to collect a file in memory.
/// Kernels that give large pages unasked, or none at all, are left as they are.
void reserveLarge(std::vector<std::byte>& buffer, std::size_t size);

} // namespace platform
