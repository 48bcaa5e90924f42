#include "FileSystemExtension/EphemeralItem.h"

#include <array>
#include <atomic>
#include <stdexcept>

namespace tandalo {

namespace {

// Identifiers are never reused, also across volumes: FSKit may still hold an identifier of an item that
// a volume has forgotten.
std::atomic<std::uint64_t> ephemeralCounter{0};

constexpr std::array<std::string_view, 8> metadataNames{
    ".DS_Store", ".localized", ".apdisk",         ".Spotlight-V100",
    ".Trashes",  ".fseventsd", ".TemporaryItems", ".DocumentRevisions-V100",
};

} // namespace

EphemeralItem::EphemeralItem(std::string name, std::uint64_t parentID, Destination destination,
                             platform::Clock::WallTime now)
    : m_id((ephemeralCounter.fetch_add(1) + 1) | identifierBits),
      m_created(now), m_state{parentID, std::move(name), destination,  {},      now,   false, 0,
                              nullptr,  false,           std::nullopt, nullptr, false, {}} {}

void EphemeralItem::State::rename(std::string newName, std::uint64_t newParentID,
                                  std::optional<Destination> newDestination, platform::Clock::WallTime now) {
    name = std::move(newName);
    parentID = newParentID;
    if (newDestination) {
        destination = *newDestination;
    }
    modified = now;
}

std::span<const std::byte> EphemeralItem::contents(const std::unique_lock<std::mutex>& contentLock) const {
    if (contentLock.mutex() != &m_contentLock || !contentLock.owns_lock()) {
        throw std::logic_error("the contents of an in-memory item are read under its own content lock");
    }
    return m_state.data;
}

bool isEphemeralName(std::string_view name) noexcept {
    if (name.starts_with("._")) {
        return true;
    }
    for (const auto metadata : metadataNames) {
        if (name == metadata) {
            return true;
        }
    }
    return false;
}

} // namespace tandalo
