// Reading files: device files through a one-window read-ahead cache, in-memory files from their bytes.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>

namespace tandalo {

namespace {

/// Copies what fits of the bytes into the buffer; returns how many were copied.
std::size_t copyInto(fskit::FSMutableFileDataBuffer& buffer, std::span<const std::byte> bytes) {
    const auto count = std::min(buffer.length(), bytes.size());
    if (count != 0) {
        std::memcpy(buffer.mutableBytes().data(), bytes.data(), count);
    }
    return count;
}

/// Window numbers: a fetch ahead belongs to the window it was started after.
std::atomic<std::uint64_t> windowNumbers{0};

using Window = AndroidItem::ReadAhead::Window;

std::uint64_t endOf(const Window& window) {
    return window.end();
}

/// Window buffers that their last holder let go of, kept for the next fetch: it then reads into memory
/// already mapped, where a fresh buffer of megabytes costs a page fault and a clearing for every page.
struct SpareWindows {
    std::mutex lock; // guards buffers and preparing; held for nothing else
    std::vector<std::vector<std::byte>> buffers;
    bool preparing = false; // a task is mapping a buffer for the list
};

/// Enough for a reader that goes on window after window: one window is let go for every one fetched.
constexpr std::size_t spareWindowCount = 2;

SpareWindows& spareWindows() {
    // Never destroyed: the last holder of a window may let go of it while the process ends.
    static auto* const spares = new SpareWindows;
    return *spares;
}

/// Room past a window's bytes: the library reads a whole packet past the end it expects.
constexpr std::size_t spareWindowSlack = 64u << 10;

/// Maps the memory of a full window on a task of its own and puts it in the list, unless the list is full
/// or another task does so already.
void prepareSpareWindow(AndroidVolume& volume) noexcept {
    auto& spares = spareWindows();
    {
        std::lock_guard guard(spares.lock);
        if (spares.preparing || spares.buffers.size() >= spareWindowCount) {
            return;
        }
        spares.preparing = true;
    }
    const auto prepared = [&spares](std::vector<std::byte> buffer) noexcept {
        std::lock_guard guard(spares.lock);
        spares.preparing = false;
        if (!buffer.empty() && spares.buffers.size() < spareWindowCount) {
            try {
                spares.buffers.push_back(std::move(buffer));
            } catch (...) {
                // Without room in the list the buffer is simply freed.
            }
        }
    };
    try {
        volume.startTask([prepared] {
            std::vector<std::byte> buffer;
            try {
                // Filling it maps every page here, not in the fetch that the link waits for.
                buffer.resize(AndroidVolume::readAhead + spareWindowSlack);
            } catch (...) {
                buffer.clear();
            }
            prepared(std::move(buffer));
        });
    } catch (...) {
        prepared({});
    }
}

/// The memory for a fetch of length bytes: a buffer that a window let go of. A reader that goes on
/// window after window finds none at first, while its windows grow and are all still held; a fetch that
/// finds none has the next full window's memory mapped meanwhile, where a fresh window of megabytes costs
/// the fetch a page fault for every page while the link waits.
std::vector<std::byte> takeSpareWindow(AndroidVolume& volume, std::uint64_t length) {
    auto& spares = spareWindows();
    {
        std::lock_guard guard(spares.lock);
        if (!spares.buffers.empty()) {
            auto buffer = std::move(spares.buffers.back());
            spares.buffers.pop_back();
            return buffer;
        }
    }
    // Only a reader whose windows have grown towards the largest is likely to go on.
    if (length >= AndroidVolume::readAhead / 2) {
        prepareSpareWindow(volume);
    }
    return {};
}

void giveBackWindow(std::vector<std::byte>* bytes) noexcept {
    const std::unique_ptr<std::vector<std::byte>> owned(bytes);
    // The small windows of a reader that has just begun are not worth keeping.
    if (owned->capacity() < AndroidVolume::readAhead) {
        return;
    }
    auto& spares = spareWindows();
    std::lock_guard guard(spares.lock);
    if (spares.buffers.size() < spareWindowCount) {
        try {
            spares.buffers.push_back(std::move(*owned));
        } catch (...) {
            // Without room in the list the buffer is simply freed.
        }
    }
}

Window windowOf(std::uint64_t offset, std::vector<std::byte> bytes) {
    return Window{offset, std::shared_ptr<const std::vector<std::byte>>(
                              new std::vector<std::byte>(std::move(bytes)), giveBackWindow)};
}

/// Makes the window fetched after the read-ahead window the window. The one just left stays behind for a
/// moment: the kernel hands the requests of one sequential reader to several threads, and one of them may
/// still ask for its end after the next has begun.
void takeUpNext(AndroidItem::ReadAhead& ahead) {
    ahead.behind = std::move(ahead.window);
    ahead.window = std::move(*ahead.next);
    ahead.next.reset();
    ahead.number = ++windowNumbers;
}

/// Whether a read of length bytes from offset goes on from the read-ahead window: it starts in it or at
/// its end, or skips no more than two such reads. The kernel keeps two readahead requests of a sequential
/// reader in flight, and they reach us on two threads in either order.
bool goesOn(const AndroidItem::ReadAhead& ahead, std::uint64_t offset, std::uint64_t length) {
    return ahead.window.offset <= offset && offset <= endOf(ahead.window) + 2 * length;
}

/// Whether a window fetched from start for a read that missed lies shortly before the read-ahead window:
/// such a read is one the kernel sent before those that the window serves and that arrived after them, and
/// the window, which the reader goes on with, stays.
bool isStraggler(const AndroidItem::ReadAhead& ahead, std::uint64_t start, std::uint64_t end) {
    return start < ahead.window.offset && end <= ahead.window.offset &&
           ahead.window.offset - start <= AndroidVolume::readAhead;
}

/// Serves the range from the item's read-ahead when it holds all of it: from the window before the
/// current one, the window, and the window fetched after it, as far as they follow each other (the range may
/// span two). A range that reaches into the window fetched after makes that one the window. The caller
/// holds the volume's lock. Returns the number of bytes copied, or nothing on a miss; `advanced` tells
/// whether the next window was taken up.
std::optional<std::size_t> copyFromReadAhead(AndroidItem::State& state, std::uint64_t start,
                                             std::uint64_t count, fskit::FSMutableFileDataBuffer& buffer,
                                             bool& advanced) {
    advanced = false;
    auto& ahead = state.readCache;
    if (!ahead) {
        return std::nullopt;
    }
    const std::uint64_t end = start + count;
    const std::uint64_t windowEnd = endOf(ahead->window);
    std::array<const Window*, 3> chain{};
    std::size_t links = 0;
    if (ahead->behind && endOf(*ahead->behind) == ahead->window.offset) {
        chain[links++] = &*ahead->behind;
    }
    chain[links++] = &ahead->window;
    if (ahead->next && ahead->next->offset == windowEnd) {
        chain[links++] = &*ahead->next;
    }
    if (start < chain[0]->offset || end > endOf(*chain[links - 1])) {
        return std::nullopt;
    }
    const auto chained = std::span(chain).first(links);
    std::size_t copied = 0;
    const auto lender = std::find_if(chained.begin(), chained.end(), [&](const Window* piece) {
        return piece->offset <= start && end <= endOf(*piece);
    });
    if (lender != chained.end()) {
        // A range inside one window is answered from the window itself, without a copy.
        const auto& piece = **lender;
        const auto lent =
            std::span<const std::byte>(*piece.data)
                .subspan(static_cast<std::size_t>(start - piece.offset), static_cast<std::size_t>(count));
        buffer.lend(piece.data, lent);
        copied = std::min(lent.size(), buffer.length());
    } else {
        const auto room = buffer.mutableBytes();
        for (const Window* piece : chained) {
            const std::uint64_t from = std::max(start, piece->offset);
            const std::uint64_t to = std::min(end, endOf(*piece));
            const auto at = static_cast<std::size_t>(from - start);
            if (from >= to || at >= room.size()) {
                continue;
            }
            const auto length = std::min(static_cast<std::size_t>(to - from), room.size() - at);
            std::memcpy(room.data() + at, piece->data->data() + (from - piece->offset), length);
            copied = at + length;
        }
    }
    if (end > windowEnd) {
        takeUpNext(*ahead);
        advanced = true;
    }
    return copied;
}

/// What a read of a device file needs to know about it, taken under the lock.
struct ReadTarget {
    std::optional<corvane::MTPObject> object;
    std::uint64_t length = 0;
};

ReadTarget readTarget(const AndroidItem::State& state) {
    const auto* object = state.kind.object();
    if (!object) {
        return {};
    }
    // Bytes written in an open edit session count: the file is as long as it was made, not as the device
    // still reports it.
    return {*object, state.pendingSize.value_or(object->size())};
}

/// The fetch of the window after the item's read-ahead window, as planned under the lock.
struct AheadPlan {
    corvane::MTPObject object;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t after = 0;
    std::shared_ptr<std::promise<void>> ended;
};

/// Marks the fetch of the window after the read-ahead window as under way, when the reads go on and
/// nothing is fetched or waiting yet. The caller holds the volume's lock.
std::optional<AheadPlan> planAhead(AndroidItem& item, AndroidVolume::Tables& tables) {
    auto& state = item.state(tables.lock);
    const auto target = readTarget(state);
    auto& ahead = state.readCache;
    if (!ahead || ahead->next || ahead->fetching || !target.object || tables.isShutDown) {
        return std::nullopt;
    }
    const std::uint64_t offset = endOf(ahead->window);
    if (offset >= target.length) {
        return std::nullopt;
    }
    const std::uint64_t length =
        std::min(target.length - offset, AndroidVolume::readAheadLength(item, offset, 0, tables));
    auto ended = std::make_shared<std::promise<void>>();
    ahead->fetching = AndroidItem::ReadAhead::Fetching{offset, offset + length, ended->get_future().share()};
    return AheadPlan{withSize(*target.object, target.length), offset, length, ahead->number,
                     std::move(ended)};
}

/// Ends a fetch ahead in the read-ahead, with the bytes when they came, and wakes the reads that wait.
/// When a read waits for them, the reader has caught up with the link: the window is taken up here and
/// the fetch after it planned at once, so that the link does not idle while the waiting read wakes up,
/// answers and starts it. Returns that fetch.
std::optional<AheadPlan> finishAhead(AndroidVolume& volume, AndroidItem& item, const AheadPlan& plan,
                                     std::optional<std::vector<std::byte>> bytes) {
    std::optional<AheadPlan> following;
    volume.withLock([&](AndroidVolume::Tables& tables) {
        auto& ahead = item.state(tables.lock).readCache;
        if (!ahead || ahead->number != plan.after) {
            return;
        }
        const bool awaited = ahead->fetching && ahead->fetching->awaited;
        ahead->fetching.reset();
        if (!bytes || ahead->next) {
            return;
        }
        ahead->next = windowOf(plan.offset, std::move(*bytes));
        if (awaited) {
            takeUpNext(*ahead);
            following = planAhead(item, tables);
        }
    });
    plan.ended->set_value();
    return following;
}

/// Fetches the window after the item's read-ahead window on a task of its own, while the reader is
/// still served from the window: a sequential read then finds it there, and the link does not idle
/// between windows. A read that reaches the window's end while the fetch is under way waits for it rather
/// than fetching the same bytes again. The fetch takes no content lock, so that the reads it feeds are
/// never held up behind it; a write meanwhile drops the read-ahead, and the bytes, fetched before it, are
/// then thrown away. Does nothing when the reads have moved elsewhere.
/// afterwards runs on the fetch's task once the fetch has ended. Returns whether a fetch was started.
bool fetchAhead(AndroidVolume& volume, const std::shared_ptr<AndroidItem>& item,
                std::function<void()> afterwards = {}) noexcept {
    const auto plan =
        volume.withLock([&](AndroidVolume::Tables& tables) { return planAhead(*item, tables); });
    if (!plan) {
        return false;
    }
    try {
        volume.startTask([&volume, item, first = *plan, afterwards] {
            std::optional<AheadPlan> plan = first;
            while (plan) {
                std::optional<std::vector<std::byte>> bytes;
                try {
                    bytes =
                        volume.fs().read(plan->object, plan->offset, static_cast<std::int64_t>(plan->length),
                                         takeSpareWindow(volume, plan->length));
                } catch (...) {
                    // Nobody needs these bytes yet: a read that does fetches them itself and reports what
                    // goes wrong.
                }
                plan = finishAhead(volume, *item, *plan, std::move(bytes));
            }
            if (afterwards) {
                afterwards();
            }
        });
    } catch (...) {
        // Without a task of its own the next window is fetched by the read that reaches it.
        finishAhead(volume, *item, *plan, std::nullopt);
        return false;
    }
    return true;
}

/// Which object of the listing is likely read after the one at index: the reads go on the way they came
/// when the file read before it was its neighbour in the listing; else the object with the next handle,
/// the order of a copy that sorts a folder's entries by their inode numbers.
std::optional<std::size_t> likelyNext(const corvane::DirectoryListing& listing, std::size_t index,
                                      std::optional<std::uint32_t> previous) {
    const auto size = listing.size();
    if (previous && index > 0 && listing[index - 1].handle() == *previous) {
        return index + 1 < size ? std::optional(index + 1) : std::nullopt;
    }
    if (previous && index + 1 < size && listing[index + 1].handle() == *previous) {
        return index > 0 ? std::optional(index - 1) : std::nullopt;
    }
    const auto handle = listing[index].handle();
    std::optional<std::size_t> next;
    for (std::size_t each = 0; each < size; ++each) {
        const auto candidate = listing[each].handle();
        if (candidate > handle && (!next || candidate < listing[*next].handle())) {
            next = each;
        }
    }
    return next;
}

/// How many guessed files are held before their first read; forgets those read since, or dropped.
std::size_t heldGuesses(AndroidVolume::Tables& tables) {
    std::erase_if(tables.guessed, [&](const std::weak_ptr<AndroidItem>& held) {
        const auto item = held.lock();
        return !item || !item->state(tables.lock).readCache || !item->state(tables.lock).readCache->guess;
    });
    return tables.guessed.size();
}

using WholeRead = AndroidVolume::Tables::WholeRead;

/// Fetches the small file likely read after the one at place while the kernel closes the one and opens
/// the other, so that the link does not idle between small files; when that fetch ends, the file after
/// it follows, or the one after the file read meanwhile when the reads went elsewhere. Only a file whose item
/// the kernel knows, that nobody has open and that fits one small fetch is guessed; one guess is fetched at a
/// time, so that a transaction someone waits for waits for at most one small file, and at most two are held
/// before their first read, the older dropped for a newer one: a wrong guess costs a small fetch or two.
void guessAfter(AndroidVolume& volume, const WholeRead& place) noexcept {
    try {
        const auto listing = volume.fs().cachedListing(place.folder.storage, place.folder.parent);
        if (!listing) {
            return;
        }
        const auto at = std::find_if(listing->begin(), listing->end(), [&](const corvane::MTPObject& object) {
            return object.handle() == place.handle;
        });
        if (at == listing->end()) {
            return;
        }
        const auto next =
            likelyNext(*listing, static_cast<std::size_t>(at - listing->begin()), place.previous);
        if (!next) {
            return;
        }
        const auto nextHandle = (*listing)[*next].handle();
        const auto nextID = AndroidItem::objectIdentifierBit | nextHandle;
        const AndroidItem::ReadAhead::Guess guess{0, volume.fs().cacheGeneration(), volume.clock().now()};
        const auto guessed =
            volume.withLock([&](AndroidVolume::Tables& tables) -> std::shared_ptr<AndroidItem> {
                const auto found = tables.items.find(nextID);
                if (tables.isShutDown || tables.guessInFlight || found == tables.items.end()) {
                    return nullptr;
                }
                auto& state = found->second->state(tables.lock);
                const auto* object = state.kind.object();
                if (!object || object->isDirectory() || object->size() == 0 ||
                    object->size() > AndroidVolume::smallFile || state.parentID != place.parentID ||
                    state.openCount != 0 || state.readCache || state.isEditing || state.pendingSize ||
                    state.hasUnsentWrites()) {
                    return nullptr;
                }
                if (heldGuesses(tables) >= 2) {
                    if (const auto oldest = tables.guessed.front().lock()) {
                        oldest->state(tables.lock).readCache.reset();
                    }
                    tables.guessed.erase(tables.guessed.begin());
                }
                tables.guessed.push_back(found->second);
                tables.guessInFlight = true;
                auto& ahead = state.readCache.emplace();
                ahead.window = windowOf(0, {});
                ahead.number = ++windowNumbers;
                ahead.guess = guess;
                ahead.guess->generation = tables.generation;
                return found->second;
            });
        if (!guessed) {
            return;
        }
        const WholeRead after{place.folder, place.parentID, nextHandle, place.handle};
        const auto started = fetchAhead(volume, guessed, [&volume, after] {
            const auto from = volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<WholeRead> {
                tables.guessInFlight = false;
                const auto& last = tables.lastWholeRead;
                if (last && last->handle != *after.previous) {
                    return last;
                }
                return heldGuesses(tables) < 2 ? std::optional(after) : std::nullopt;
            });
            if (from) {
                guessAfter(volume, *from);
            }
        });
        if (!started) {
            volume.withLock([](AndroidVolume::Tables& tables) { tables.guessInFlight = false; });
        }
    } catch (...) {
        // A guess that cannot be made costs nothing: the file is fetched when it is read.
    }
}

/// After a small file was read whole: guesses the file read after it.
void fetchNextFile(AndroidVolume& volume, const AndroidItem& read) noexcept {
    try {
        const auto place = volume.withLock([&](AndroidVolume::Tables& tables) -> std::optional<WholeRead> {
            const auto& state = read.state(tables.lock);
            const auto* object = state.kind.object();
            const auto parent = tables.items.find(state.parentID);
            if (!object || parent == tables.items.end()) {
                return std::nullopt;
            }
            const auto folder = deviceFolder(parent->second->state(tables.lock).kind);
            if (!folder) {
                return std::nullopt;
            }
            auto& last = tables.lastWholeRead;
            const auto previous =
                last && last->parentID == state.parentID ? std::optional(last->handle) : std::nullopt;
            last = WholeRead{*folder, state.parentID, object->handle(), previous};
            return last;
        });
        if (place) {
            guessAfter(volume, *place);
        }
    } catch (...) {
        // As in guessAfter.
    }
}

/// Keeps the link busy once a read is answered from what was fetched: with the window after the one the
/// reads went on into, and with the file likely read next when this read took a small file whole.
void fetchWhatComesNext(AndroidVolume& volume, const std::shared_ptr<AndroidItem>& item, bool nextWindow,
                        bool wholeSmallFile) {
    if (nextWindow) {
        fetchAhead(volume, item);
    }
    if (wholeSmallFile) {
        fetchNextFile(volume, *item);
    }
}

/// Takes up a guessed file at its first read, or drops it when anything may have changed since its fetch
/// began: a change through the volume, a change the library's caches learnt of, or too long a wait.
void settleGuess(AndroidItem::State& state, std::uint64_t generation, std::int64_t cacheGeneration,
                 platform::Clock::TimePoint now) {
    auto& ahead = state.readCache;
    if (!ahead || !ahead->guess) {
        return;
    }
    const auto& guess = *ahead->guess;
    if (guess.generation == generation && guess.cacheGeneration == cacheGeneration &&
        now - guess.started <= AndroidVolume::guessLifetime) {
        ahead->guess.reset();
    } else {
        ahead.reset();
    }
}

} // namespace

std::uint64_t AndroidVolume::readAheadLength(const AndroidItem& item, std::uint64_t offset,
                                             std::uint64_t length, const Tables& tables) {
    const auto& ahead = item.state(tables.lock).readCache;
    if (ahead && goesOn(*ahead, offset, length)) {
        return std::clamp<std::uint64_t>(2 * (endOf(ahead->window) - ahead->window.offset), minReadAhead,
                                         readAhead);
    }
    return minReadAhead;
}

void AndroidVolume::readFromFile(std::shared_ptr<fskit::FSItem> item, off_t offset, std::size_t length,
                                 std::shared_ptr<fskit::FSMutableFileDataBuffer> buffer,
                                 fskit::ByteCountReply reply) {
    if (!buffer) {
        reply(0, posixError(EINVAL));
        return;
    }
    const std::uint64_t start = offset < 0 ? 0 : static_cast<std::uint64_t>(offset);
    const std::uint64_t wanted = std::min(length, buffer->length());

    if (const auto memory = std::dynamic_pointer_cast<EphemeralItem>(item)) {
        bool sent = false;
        const auto copied = withLock([&](Tables& tables) -> std::size_t {
            const auto& state = memory->state(tables.lock);
            const auto& data = state.data;
            const auto& tail = state.tail;
            sent = state.sent != nullptr;
            if (sent || start >= data.size() + tail.size() || wanted == 0) {
                return 0;
            }
            // The bytes written while the start of the file is on its way follow it, in a run of their own.
            const auto offset = static_cast<std::size_t>(start);
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(wanted, data.size() + tail.size() - start));
            const auto fromData = offset < data.size() ? std::min(count, data.size() - offset) : 0;
            copyInto(*buffer, std::span(data).subspan(std::min(offset, data.size()), fromData));
            if (count > fromData) {
                std::memcpy(buffer->mutableBytes().data() + fromData,
                            tail.data() + (offset + fromData - data.size()), count - fromData);
            }
            return count;
        });
        // A file sent to the device is read as its object, through the read-ahead of its device item.
        if (sent) {
            readFromFile(sentItem(*memory), offset, length, std::move(buffer), std::move(reply));
            return;
        }
        reply(copied, std::nullopt);
        return;
    }

    const auto device = std::dynamic_pointer_cast<AndroidItem>(item);
    if (!device) {
        reply(0, posixError(EINVAL));
        return;
    }
    std::optional<std::size_t> hit;
    bool advanced = false;
    const auto cacheGeneration = fs().cacheGeneration();
    const auto now = clock().now();
    const auto target = withLock([&](Tables& tables) {
        auto& state = device->state(tables.lock);
        settleGuess(state, tables.generation, cacheGeneration, now);
        auto found = readTarget(state);
        if (found.object && !found.object->isDirectory() && start < found.length && wanted > 0) {
            hit = copyFromReadAhead(state, start, std::min(wanted, found.length - start), *buffer, advanced);
        }
        return found;
    });
    if (!target.object) {
        reply(0, posixError(EINVAL));
        return;
    }
    if (target.object->isDirectory()) {
        reply(0, posixError(EISDIR));
        return;
    }
    if (target.length <= start || wanted < 1) {
        reply(0, std::nullopt);
        return;
    }
    // The link is the slower side: what comes next is asked for before this answer is copied out.
    const bool wholeSmallFile = start == 0 && target.length <= smallFile;
    if (hit) {
        fetchWhatComesNext(*this, device, advanced, wholeSmallFile);
        reply(*hit, std::nullopt);
        return;
    }
    startTask([this, device, start, wanted, buffer, reply, wholeSmallFile] {
        try {
            // Held across the fetch: a write or truncate that lands meanwhile would otherwise find its
            // bytes hidden behind a window fetched before it. It also lets a read that waited here find
            // the window that the read (or the fetch ahead) before it fetched. Let go of before the
            // answer: the close that follows a read must find the file free, or it waits for a task.
            std::unique_lock content(device->contentLock());
            // Bytes written and not sent yet must be on the device before it is read from.
            sendUnsentWrite(*this, *device);
            std::optional<std::size_t> hit;
            bool advanced = false;
            bool sequential = false;
            std::uint64_t readAheadBytes = 0;
            ReadTarget target;
            while (true) {
                std::shared_future<void> fetching;
                target = withLock([&](Tables& tables) {
                    auto& state = device->state(tables.lock);
                    auto found = readTarget(state);
                    if (found.object && start < found.length) {
                        hit = copyFromReadAhead(state, start, std::min(wanted, found.length - start), *buffer,
                                                advanced);
                        readAheadBytes = readAheadLength(*device, start, wanted, tables);
                        auto& ahead = state.readCache;
                        sequential = ahead && goesOn(*ahead, start, wanted);
                        // A read that the window and the window on its way will hold between them.
                        if (!hit && ahead && ahead->fetching && ahead->window.offset <= start &&
                            start < ahead->fetching->end) {
                            ahead->fetching->awaited = true;
                            fetching = ahead->fetching->ended;
                        }
                    }
                    return found;
                });
                if (hit || !fetching.valid()) {
                    break;
                }
                // The bytes are on their way already: wait for them instead of asking twice.
                fetching.wait();
            }
            if (hit) {
                content.unlock();
                fetchWhatComesNext(*this, device, advanced, wholeSmallFile);
                reply(*hit, std::nullopt);
                return;
            }
            if (!target.object || target.length <= start) {
                content.unlock();
                reply(0, std::nullopt);
                return;
            }
            const auto fetch = std::min(target.length - start, std::max(readAheadBytes, wanted));
            auto bytes = fs().read(withSize(*target.object, target.length), start,
                                   static_cast<std::int64_t>(fetch), takeSpareWindow(*this, fetch));
            AndroidItem::ReadAhead fetched;
            fetched.window = windowOf(start, std::move(bytes));
            const auto& window = *fetched.window.data;
            const auto count = std::min<std::size_t>({window.size(), wanted, buffer->length()});
            buffer->lend(fetched.window.data, std::span(window).first(count));
            const auto end = start + window.size();
            const bool kept = withLock([&](Tables& tables) {
                auto& cache = device->state(tables.lock).readCache;
                if (cache && isStraggler(*cache, start, end)) {
                    return true;
                }
                fetched.number = ++windowNumbers;
                cache = std::move(fetched);
                return false;
            });
            content.unlock();
            // Reads that continue window after window go on: the next window is fetched while this one
            // is read, as is the next small file.
            fetchWhatComesNext(*this, device, sequential && !kept, wholeSmallFile);
            reply(count, std::nullopt);
        } catch (...) {
            reply(0, fsError(std::current_exception()));
        }
    });
}

} // namespace tandalo
