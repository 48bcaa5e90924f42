#include "simulation/PhoneContent.h"

#include <algorithm>
#include <cstring>

namespace simulation {

namespace {

/// One 64-bit word of the pattern: splitmix64 over (seed, word index), so that any offset can be
/// produced without producing what lies before it.
std::uint64_t patternWord(std::uint64_t seed, std::uint64_t index) noexcept {
    std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + index + 0x632BE59BD9B4E019ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

bool isAllZero(std::span<const std::byte> bytes) noexcept {
    return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

} // namespace

PhoneContent PhoneContent::generated(std::uint64_t seed, std::uint64_t size) {
    PhoneContent content;
    content.m_seed = seed;
    content.m_size = size;
    content.m_generatedEnd = size;
    return content;
}

PhoneContent PhoneContent::fromBytes(std::span<const std::byte> bytes) {
    PhoneContent content;
    content.write(0, bytes);
    return content;
}

std::size_t PhoneContent::storedBytes() const noexcept {
    return m_pages.size() * pageSize;
}

void PhoneContent::generate(std::uint64_t seed, std::uint64_t offset, std::span<std::byte> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t position = offset + done;
        const std::uint64_t word = patternWord(seed, position / 8);
        const std::size_t first = static_cast<std::size_t>(position % 8);
        const std::size_t count = std::min<std::size_t>(8 - first, out.size() - done);
        for (std::size_t i = 0; i < count; ++i) {
            out[done + i] = static_cast<std::byte>((word >> (8 * (first + i))) & 0xFF);
        }
        done += count;
    }
}

std::vector<std::byte> PhoneContent::generate(std::uint64_t seed, std::uint64_t offset, std::size_t length) {
    std::vector<std::byte> bytes(length);
    generate(seed, offset, bytes);
    return bytes;
}

void PhoneContent::fillUnwritten(std::uint64_t offset, std::span<std::byte> out) const {
    std::size_t patterned = 0;
    if (offset < m_generatedEnd) {
        patterned = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), m_generatedEnd - offset));
        generate(m_seed, offset, out.first(patterned));
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(patterned), out.end(), std::byte{0});
}

void PhoneContent::read(std::uint64_t offset, std::span<std::byte> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t position = offset + done;
        const std::uint64_t pageIndex = position / pageSize;
        const std::size_t inPage = static_cast<std::size_t>(position % pageSize);
        const std::size_t count = std::min(pageSize - inPage, out.size() - done);
        const auto piece = out.subspan(done, count);
        if (position >= m_size) {
            std::fill(piece.begin(), piece.end(), std::byte{0});
        } else if (const auto page = m_pages.find(pageIndex); page != m_pages.end()) {
            std::memcpy(piece.data(), page->second.data() + inPage, count);
        } else {
            fillUnwritten(position, piece);
        }
        done += count;
    }
}

std::vector<std::byte> PhoneContent::read(std::uint64_t offset, std::size_t length) const {
    if (offset >= m_size) {
        return {};
    }
    std::vector<std::byte> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(length, m_size - offset)));
    read(offset, bytes);
    return bytes;
}

PhoneContent::Page& PhoneContent::pageAt(std::uint64_t pageIndex) {
    const auto found = m_pages.find(pageIndex);
    if (found != m_pages.end()) {
        return found->second;
    }
    Page page(pageSize);
    const std::uint64_t start = pageIndex * pageSize;
    if (start < m_size) {
        fillUnwritten(start, page);
        if (start + pageSize > m_size) {
            const auto beyond = static_cast<std::ptrdiff_t>(m_size - start);
            std::fill(page.begin() + beyond, page.end(), std::byte{0});
        }
    }
    return m_pages.emplace(pageIndex, std::move(page)).first->second;
}

void PhoneContent::write(std::uint64_t offset, std::span<const std::byte> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::uint64_t position = offset + done;
        const std::uint64_t pageIndex = position / pageSize;
        const std::size_t inPage = static_cast<std::size_t>(position % pageSize);
        const std::size_t count = std::min(pageSize - inPage, bytes.size() - done);
        const auto piece = bytes.subspan(done, count);
        // Zeros written where the object already reads as zero need no page: that keeps a large upload
        // of zeros, and the gap of a sparse write, free.
        const bool readsAsZero = position >= m_generatedEnd && !m_pages.contains(pageIndex);
        if (!(readsAsZero && isAllZero(piece))) {
            std::memcpy(pageAt(pageIndex).data() + inPage, piece.data(), count);
        }
        done += count;
        m_size = std::max(m_size, position + count);
    }
}

void PhoneContent::resize(std::uint64_t size) {
    if (size >= m_size) {
        m_size = size;
        return;
    }
    m_size = size;
    m_generatedEnd = std::min(m_generatedEnd, size);
    const std::uint64_t firstDropped = (size + pageSize - 1) / pageSize;
    m_pages.erase(m_pages.lower_bound(firstDropped), m_pages.end());
    if (size % pageSize != 0) {
        if (const auto page = m_pages.find(size / pageSize); page != m_pages.end()) {
            std::fill(page->second.begin() + static_cast<std::ptrdiff_t>(size % pageSize), page->second.end(),
                      std::byte{0});
        }
    }
}

} // namespace simulation
