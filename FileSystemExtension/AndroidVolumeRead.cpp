// Reading files: device files through a one-window read-ahead cache, in-memory files from their bytes.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

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

/// Serves the range from the item's read-ahead window when the window holds all of it; the caller holds
/// the volume's lock. Returns the number of bytes copied, or nothing on a miss.
std::optional<std::size_t> copyFromWindow(const AndroidItem::State& state, std::uint64_t start,
                                          std::uint64_t count, fskit::FSMutableFileDataBuffer& buffer) {
    const auto& window = state.readCache;
    if (!window || window->offset > start || start + count > window->offset + window->data.size()) {
        return std::nullopt;
    }
    const auto from = static_cast<std::size_t>(start - window->offset);
    return copyInto(buffer, std::span(window->data).subspan(from, static_cast<std::size_t>(count)));
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

} // namespace

std::uint64_t AndroidVolume::readAheadLength(const AndroidItem& item, std::uint64_t offset,
                                             const Tables& tables) {
    const auto& window = item.state(tables.lock).readCache;
    if (window && window->offset + window->data.size() == offset) {
        return std::clamp<std::uint64_t>(2 * window->data.size(), minReadAhead, readAhead);
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
            sent = state.sent != nullptr;
            if (sent || start >= data.size() || wanted == 0) {
                return 0;
            }
            const auto count = std::min<std::uint64_t>(wanted, data.size() - start);
            return copyInto(*buffer, std::span(data).subspan(static_cast<std::size_t>(start),
                                                             static_cast<std::size_t>(count)));
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
    const auto target = withLock([&](Tables& tables) {
        const auto& state = device->state(tables.lock);
        auto found = readTarget(state);
        if (found.object && !found.object->isDirectory() && start < found.length && wanted > 0) {
            hit = copyFromWindow(state, start, std::min(wanted, found.length - start), *buffer);
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
    if (hit) {
        reply(*hit, std::nullopt);
        return;
    }
    startTask([this, device, start, wanted, buffer, reply] {
        try {
            // Held across the fetch: a write or truncate that lands meanwhile would otherwise find its
            // bytes hidden behind a window fetched before it. It also lets a read that waited here find
            // the window that the read before it fetched.
            std::lock_guard content(device->contentLock());
            // Bytes written and not sent yet must be on the device before it is read from.
            sendUnsentWrite(*this, *device);
            std::optional<std::size_t> hit;
            std::uint64_t readAheadBytes = 0;
            const auto target = withLock([&](Tables& tables) {
                const auto& state = device->state(tables.lock);
                auto found = readTarget(state);
                if (found.object && start < found.length) {
                    hit = copyFromWindow(state, start, std::min(wanted, found.length - start), *buffer);
                    readAheadBytes = readAheadLength(*device, start, tables);
                }
                return found;
            });
            if (hit) {
                reply(*hit, std::nullopt);
                return;
            }
            if (!target.object || target.length <= start) {
                reply(0, std::nullopt);
                return;
            }
            const auto fetch = std::min(target.length - start, std::max(readAheadBytes, wanted));
            auto bytes =
                fs().read(withSize(*target.object, target.length), start, static_cast<std::int64_t>(fetch));
            const auto count =
                copyInto(*buffer, std::span(bytes).first(std::min<std::size_t>(bytes.size(), wanted)));
            withLock([&](Tables& tables) {
                device->state(tables.lock).readCache = AndroidItem::ReadCache{start, std::move(bytes)};
            });
            reply(count, std::nullopt);
        } catch (...) {
            reply(0, fsError(std::current_exception()));
        }
    });
}

} // namespace tandalo
