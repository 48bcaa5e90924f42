#include "platform/foundation/LargeBuffer.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/mman.h>

namespace platform {

namespace {

/// The size of the large pages of x86-64 and of most arm64 kernels; only whole ones inside the room are asked
/// for, so a different size merely gets fewer of them.
constexpr std::uintptr_t largePage = std::uintptr_t{2} << 20;

} // namespace

bool largePagesOnlyOnRequest() {
    static const bool onRequest = [] {
        std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
        const std::string modes{std::istreambuf_iterator<char>(mode), std::istreambuf_iterator<char>()};
        return modes.find("[madvise]") != std::string::npos;
    }();
    return onRequest;
}

void reserveLarge(std::vector<std::byte>& buffer, std::size_t size) {
    if (size <= buffer.capacity()) {
        return;
    }
    buffer.reserve(size);
    const auto start = reinterpret_cast<std::uintptr_t>(buffer.data() + buffer.size());
    const auto end = reinterpret_cast<std::uintptr_t>(buffer.data() + buffer.capacity());
    const std::uintptr_t first = (start + largePage - 1) & ~(largePage - 1);
    const std::uintptr_t last = end & ~(largePage - 1);
    if (first < last && largePagesOnlyOnRequest()) {
        // Only advice: a kernel without large pages refuses it, and the buffer works the same.
        (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
}

} // namespace platform
