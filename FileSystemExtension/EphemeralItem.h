#pragma once

#include "Corvane/wire/MTPObject.h"
#include "FileSystemExtension/AndroidItem.h"
#include "FileSystemExtension/VolumeLock.h"
#include "platform/foundation/Clock.h"
#include "platform/fskit/FSItem.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo {

/// A file that the volume made: a Finder metadata file kept only in memory, or a new file whose contents
/// collect in memory until they go to the device as one object. It owns those contents until they have
/// reached the device; from then on it stands for that object's device item.
class EphemeralItem final : public fskit::FSItem {
public:
    /// Where the contents go: to a folder of the device, or nowhere.
    class Destination {
    public:
        static constexpr std::uint32_t storageRootParent = 0xFFFFFFFF;

        /// The payload packs the storage ID in the low 32 bits and the parent handle in the high 32 bits.
        static Destination device(std::uint64_t packed) noexcept { return Destination(packed); }
        static Destination device(std::uint32_t storageID, std::uint32_t parentHandle) noexcept {
            return Destination(std::uint64_t{storageID} | (std::uint64_t{parentHandle} << 32));
        }
        static Destination memoryOnly() noexcept { return Destination(std::nullopt); }

        bool isDevice() const noexcept { return m_packed.has_value(); }
        bool isMemoryOnly() const noexcept { return !m_packed; }
        /// The packed payload of a device destination; 0 for memoryOnly.
        std::uint64_t packed() const noexcept { return m_packed.value_or(0); }
        std::uint32_t storageID() const noexcept { return static_cast<std::uint32_t>(packed()); }
        std::uint32_t parentHandle() const noexcept { return static_cast<std::uint32_t>(packed() >> 32); }

        friend bool operator==(const Destination&, const Destination&) = default;

    private:
        explicit Destination(std::optional<std::uint64_t> packed) : m_packed(packed) {}
        std::optional<std::uint64_t> m_packed;
    };

    /// The fields that operations change, guarded by the owning volume's lock (see state()).
    struct State {
        std::uint64_t parentID;
        std::string name;
        Destination destination;
        /// The whole contents while the file is only in memory. Changing it needs both the item's
        /// content lock and the volume's lock; reading it needs either. Emptied once the file has been
        /// sent, when its contents live on the device.
        std::vector<std::byte> data;
        platform::Clock::WallTime modified;
        /// The modification date was set by a caller, not by a write: it is set on the device object too.
        bool modifiedSet = false;
        /// Opens not yet closed while the file was only in memory; never below 0. Once it is sent they
        /// count on its device item.
        std::int64_t openCount = 0;
        /// The device item of the object the file was sent as. From then on the file is that object:
        /// every operation on this item works on it.
        std::shared_ptr<AndroidItem> sent;
        /// Sent and whole under its name. Until then the object lies under a name that says it is
        /// incomplete, this item stands in the folder under the file's name, and the last close completes
        /// it.
        bool complete = false;
        /// A device object that the file replaces once it is complete (a rename put it over one).
        std::optional<corvane::MTPObject> replacing;
        /// The first write to the file that failed: the file is not what its writer meant, and its last
        /// close removes it instead of completing it.
        std::exception_ptr failedWrite;
        /// While data is on its way to the device as the start of a file that grows there, the writes
        /// that continue it collect here (at most as many bytes as data) instead of waiting for the send:
        /// they become the first run of the object's edit session. Changed under the volume's lock alone.
        bool takesTail = false;
        std::vector<std::byte> tail;

        /// Moves the item: sets the name and parent, the destination only when one is given, and
        /// modified to now.
        void rename(std::string newName, std::uint64_t newParentID, std::optional<Destination> newDestination,
                    platform::Clock::WallTime now);
    };

    /// Ephemeral identifiers are a process-wide counter with bits 40 and 41 set.
    static constexpr std::uint64_t identifierBits = 0x300'0000'0000;

    /// Takes the next identifier; created and modified are now, the contents empty. Any thread.
    EphemeralItem(std::string name, std::uint64_t parentID, Destination destination,
                  platform::Clock::WallTime now);

    std::uint64_t id() const noexcept { return m_id; }
    platform::Clock::WallTime created() const noexcept { return m_created; }

    /// The guarded fields; the proof says the volume's lock is held.
    State& state(const VolumeLock&) noexcept { return m_state; }
    const State& state(const VolumeLock&) const noexcept { return m_state; }

    /// The contents, read while the caller holds the content lock (which keeps writers out) but not the
    /// volume's lock, so that a flush can send them to the device without copying them. Throws
    /// std::logic_error when the lock given is not this item's content lock.
    std::span<const std::byte> contents(const std::unique_lock<std::mutex>& contentLock) const;

    /// Serialises the changes of this item's contents: writes into data, resizing, and the flush that
    /// sends data to the device, so that no write lands in data while it is on its way and then is lost.
    /// Lock order: taken before the volume's lock; may be held across a call into the library; never
    /// taken while the volume's lock is held.
    std::mutex& contentLock() noexcept { return m_contentLock; }

private:
    const std::uint64_t m_id;
    const platform::Clock::WallTime m_created;
    State m_state;
    std::mutex m_contentLock;
};

/// Whether a name is one of Finder's metadata names, which are kept in memory and never reach the device:
/// ".DS_Store", ".localized", ".apdisk", ".Spotlight-V100", ".Trashes", ".fseventsd", ".TemporaryItems",
/// ".DocumentRevisions-V100" (whole and with case), and every name that begins with "._".
bool isEphemeralName(std::string_view name) noexcept;

} // namespace tandalo
