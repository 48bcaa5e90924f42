#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace simulation {

/// The bytes of one object on the simulated phone, held sparsely so that files of many gigabytes cost
/// almost nothing. A generated object reads as a deterministic pattern of (seed, offset); written bytes
/// live in fixed-size pages; everything else reads as zero, as a file grown by truncation does.
class PhoneContent {
public:
    static constexpr std::size_t pageSize = 64 * 1024;

    /// An empty object.
    PhoneContent() = default;
    /// size bytes of the pattern for seed, without allocating any of them.
    static PhoneContent generated(std::uint64_t seed, std::uint64_t size);
    static PhoneContent fromBytes(std::span<const std::byte> bytes);

    std::uint64_t size() const noexcept { return m_size; }
    /// Memory held by written pages, for tests that check a large transfer stayed sparse.
    std::size_t storedBytes() const noexcept;

    /// Copies the bytes at offset into out; bytes past the end read as zero.
    void read(std::uint64_t offset, std::span<std::byte> out) const;
    /// Up to length bytes at offset, fewer at the end of the object.
    std::vector<std::byte> read(std::uint64_t offset, std::size_t length) const;
    /// Writes bytes at offset, growing the object when they reach past its end; a gap reads as zero.
    void write(std::uint64_t offset, std::span<const std::byte> bytes);
    /// Cuts the object or grows it with zeros.
    void resize(std::uint64_t size);

    /// The pattern of a generated object: the bytes at offset of the stream that seed selects.
    static void generate(std::uint64_t seed, std::uint64_t offset, std::span<std::byte> out);
    static std::vector<std::byte> generate(std::uint64_t seed, std::uint64_t offset, std::size_t length);

private:
    using Page = std::vector<std::byte>;

    /// The page that holds offset, created from what the object reads as there when it is missing.
    Page& pageAt(std::uint64_t pageIndex);
    /// What a missing page reads as: the pattern below m_generatedEnd, zero above it.
    void fillUnwritten(std::uint64_t offset, std::span<std::byte> out) const;

    std::uint64_t m_size = 0;
    std::uint64_t m_seed = 0;
    /// The pattern shows through below this offset wherever no page was written; never above m_size.
    std::uint64_t m_generatedEnd = 0;
    std::map<std::uint64_t, Page> m_pages;
};

} // namespace simulation
