#include "platform/foundation/LargeBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

/// Whether the mapping that holds `address` carries the advice for large pages ("hg" in its VmFlags).
bool advisedLarge(std::uintptr_t address) {
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        char dash = 0;
        if (std::istringstream(line) >> std::hex >> start >> dash >> end && dash == '-') {
            inside = start <= address && address < end;
        } else if (inside && line.starts_with("VmFlags:")) {
            return (line + " ").find(" hg ") != std::string::npos;
        }
    }
    return false;
}

} // namespace

// A new large file collects its bytes in such a buffer: what it holds must stay, and where the kernel gives
// large pages only on request, the advice must reach it on the first and the last whole large page of the
// room; a kernel that gives them unasked is not asked.
TEST(LargeBufferTests, ReservesTheRoomKeepsTheBytesAndAdvisesTheRoomsLargePages) {
    if (!std::filesystem::exists("/sys/kernel/mm/transparent_hugepage")) {
        GTEST_SKIP() << "this kernel has no large pages for anonymous memory";
    }
    constexpr std::uintptr_t largePage = std::uintptr_t{2} << 20;
    const bool advised = platform::largePagesOnlyOnRequest();
    const struct {
        std::size_t held, reservedBefore, asked;
    } cases[] = {{0, 0, 16 << 20}, {3, 0, 8 << 20}, {100'000, 200'000, 16 << 20}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.held << " bytes held, " << c.asked << " asked");
        std::vector<std::byte> buffer;
        buffer.reserve(c.reservedBefore);
        for (std::size_t i = 0; i < c.held; ++i) {
            buffer.push_back(static_cast<std::byte>(i * 7));
        }
        platform::reserveLarge(buffer, c.asked);
        ASSERT_GE(buffer.capacity(), c.asked);
        ASSERT_EQ(buffer.size(), c.held);
        for (std::size_t i = 0; i < c.held; ++i) {
            ASSERT_EQ(buffer[i], static_cast<std::byte>(i * 7)) << "byte " << i;
        }
        const auto room = reinterpret_cast<std::uintptr_t>(buffer.data() + buffer.size());
        const auto end = reinterpret_cast<std::uintptr_t>(buffer.data() + buffer.capacity());
        EXPECT_EQ(advisedLarge((room + largePage - 1) & ~(largePage - 1)), advised);
        EXPECT_EQ(advisedLarge((end & ~(largePage - 1)) - 1), advised);
    }
}
