#pragma once

#include "Corvane/wire/MTPObject.h"
#include "Corvane/wire/StorageInfo.h"
#include "FileSystemExtension/VolumeLock.h"
#include "platform/foundation/Clock.h"
#include "platform/fskit/FSItem.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tandalo {

/// An item of a volume that stands for something on the device: the volume's root, one storage (a
/// top-level folder) or one object of a storage. Its identifier follows from what it stands for, so one
/// device object is always one item. It owns its read-ahead window.
class AndroidItem final : public fskit::FSItem {
public:
    /// What an item stands for: storage(StorageInfo), object(MTPObject) or root.
    class Kind {
    public:
        static Kind storage(corvane::StorageInfo info) { return Kind(Value(std::move(info))); }
        static Kind object(corvane::MTPObject object) { return Kind(Value(std::move(object))); }
        static Kind root() { return Kind(Value(Root{})); }

        bool isRoot() const noexcept { return std::holds_alternative<Root>(m_value); }
        /// The storage's information, or null for another kind.
        const corvane::StorageInfo* storage() const noexcept {
            return std::get_if<corvane::StorageInfo>(&m_value);
        }
        /// The object's record, or null for another kind.
        const corvane::MTPObject* object() const noexcept {
            return std::get_if<corvane::MTPObject>(&m_value);
        }

    private:
        struct Root {};
        using Value = std::variant<corvane::StorageInfo, corvane::MTPObject, Root>;
        explicit Kind(Value value) : m_value(std::move(value)) {}
        Value m_value;
    };

    /// The read-ahead window: bytes of the file from offset on.
    struct ReadCache {
        std::uint64_t offset = 0;
        std::vector<std::byte> data;
    };

    /// What reads of a device file are served from: the window of the last fetch and, while the reads
    /// are sequential, the window after it, fetched ahead so that the link does not idle while the first
    /// is read. Each window taken up gets a new number, so that a fetch ahead started after one window is
    /// never taken for the one after another.
    struct ReadAhead {
        /// The fetch of the next window while it is under way: the range it covers, and what becomes ready
        /// when it has ended, with or without the bytes.
        struct Fetching {
            std::uint64_t offset = 0;
            std::uint64_t end = 0;
            std::shared_future<void> ended;
            /// A read waits for these bytes: the reader has caught up with the link, so the fetch takes
            /// its window up itself when it ends and goes straight on with the one after.
            bool awaited = false;
        };

        /// Bytes fetched from the device and never changed afterwards: a read may lend them to the
        /// platform, which answers from them after the window has moved on.
        struct Window {
            std::uint64_t offset = 0;
            std::shared_ptr<const std::vector<std::byte>> data;

            std::uint64_t end() const noexcept { return offset + (data ? data->size() : 0); }
        };

        Window window;
        std::optional<Window> next;
        /// The window read before this one, kept until the next is taken up.
        std::optional<Window> behind;
        std::optional<Fetching> fetching;
        std::uint64_t number = 0;
        /// Set while the window is a whole small file fetched before anyone read it, on the guess that it
        /// is read next: what the volume and the library's caches had seen of the device then, and when.
        /// The first read takes it up only while neither has changed and the guess is fresh.
        struct Guess {
            std::uint64_t generation = 0;
            std::int64_t cacheGeneration = 0;
            platform::Clock::TimePoint started{};
        };
        std::optional<Guess> guess;
    };

    /// A full run of written bytes on its way to the device: its range, what becomes ready when the send
    /// has ended (either way), and the number that tells its end from that of a run sent before or after.
    struct SendingWrite {
        std::uint64_t offset = 0;
        std::uint64_t end = 0;
        std::shared_future<void> ended;
        std::uint64_t number = 0;
    };

    /// The fields that operations change. They are guarded by the owning volume's lock: reach them only
    /// through state(lock), inside the volume's locked sections, and copy out what a device call needs.
    struct State {
        std::uint64_t parentID;
        Kind kind;
        std::string name;
        /// Opens not yet closed; never below 0.
        std::int64_t openCount = 0;
        /// An Android edit session is open on the object.
        bool isEditing = false;
        /// A size set but not yet seen in a fresh object record.
        std::optional<std::uint64_t> pendingSize;
        std::optional<ReadAhead> readCache;
        /// Bytes written in the edit session and not sent yet: one run from its offset on (write-behind).
        std::optional<ReadCache> unsentWrite;
        /// The run before it while a task of its own sends it, so that the writes go on meanwhile.
        std::optional<SendingWrite> sendingWrite;
        /// A run sent behind the writes that the device refused: sent again, before anything written
        /// after it, by what needs it on the device first (a write that cannot just add to the unsent run,
        /// a read, a truncate, a synchronize, the close), which reports the failure when it is refused
        /// again.
        std::optional<ReadCache> refusedWrite;
        /// The buffer of the last run that landed, kept for the next run: a long copy goes on in two
        /// buffers instead of fresh memory, which the system would clear page by page, for every run.
        std::vector<std::byte> spareRun;
        /// Bytes acknowledged to a writer that could not be sent when the session was ended for it (at
        /// unmount): the next close reports it.
        std::exception_ptr lostWrite;
        /// A new file whose writer goes on after its start was sent: until its edit session ends, its runs
        /// may grow as large as that start, since every run costs the phone's turnaround and a copy that
        /// large keeps the link busy anyway.
        bool runsLikeStart = false;

        /// Whether written bytes are waiting for the device or on their way to it.
        bool hasUnsentWrites() const noexcept { return unsentWrite || sendingWrite || refusedWrite; }
        /// Forgets the written bytes not on the device yet, and the spare buffer, when the session they
        /// belong to has ended. A send under way finishes on its own and is not taken back.
        void dropUnsentWrites() noexcept {
            unsentWrite.reset();
            sendingWrite.reset();
            refusedWrite.reset();
            runsLikeStart = false;
            std::vector<std::byte>().swap(spareRun);
        }
    };

    static constexpr std::uint64_t rootIdentifier = 2;
    static constexpr std::uint64_t parentOfRootIdentifier = 1;
    /// Objects are their handle with bit 32 set; storages their ID with bit 40 set.
    static constexpr std::uint64_t objectIdentifierBit = 0x1'0000'0000;
    static constexpr std::uint64_t storageIdentifierBit = 0x100'0000'0000;

    /// Computes the identifier from the kind. Any thread.
    AndroidItem(Kind kind, std::string name, std::uint64_t parentID);

    /// The identifier an item of this kind has, whether or not it exists yet.
    static std::uint64_t identifier(const Kind& kind) noexcept;

    std::uint64_t id() const noexcept { return m_id; }

    /// The guarded fields; the proof says the volume's lock is held.
    State& state(const VolumeLock&) noexcept { return m_state; }
    const State& state(const VolumeLock&) const noexcept { return m_state; }

    /// Serialises the changes of this item's contents on the device (a write's edit session, a truncate)
    /// so that two writes cannot both open a session. Lock order: taken before the volume's lock, and may
    /// be held across a call into the library; never taken while the volume's lock is held.
    std::mutex& contentLock() noexcept { return m_contentLock; }

private:
    const std::uint64_t m_id;
    State m_state;
    std::mutex m_contentLock;
};

} // namespace tandalo
