#include "FileSystemExtension/VolumeOperationSupport.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "platform/foundation/Unicode.h"

#include <cerrno>
#include <chrono>
#include <limits>

namespace tandalo {

fskit::FSTimeSpec timeSpec(platform::Clock::WallTime time) noexcept {
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch());
    // Rounded down, so a date before 1970 keeps non-negative nanoseconds.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    return fskit::FSTimeSpec{static_cast<std::int64_t>(seconds.count()),
                             static_cast<std::int64_t>((sinceEpoch - seconds).count())};
}

platform::Clock::WallTime wallTime(fskit::FSTimeSpec time) noexcept {
    const auto sinceEpoch = std::chrono::seconds(time.seconds) + std::chrono::nanoseconds(time.nanoseconds);
    return platform::Clock::WallTime(
        std::chrono::duration_cast<platform::Clock::WallTime::duration>(sinceEpoch));
}

std::uint64_t allocationSize(std::uint64_t size) noexcept {
    constexpr std::uint64_t block = 4096;
    if (size > std::numeric_limits<std::uint64_t>::max() - (block - 1)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return (size + block - 1) / block * block;
}

std::optional<corvane::MTPFileSystem::DirectoryKey> deviceFolder(const AndroidItem::Kind& kind) {
    if (kind.isRoot()) {
        return std::nullopt;
    }
    if (const auto* storage = kind.storage()) {
        return corvane::MTPFileSystem::DirectoryKey{storage->id, corvane::MTPFileSystem::rootParent};
    }
    const auto* object = kind.object();
    if (!object->isDirectory()) {
        throw posixError(ENOTDIR);
    }
    return corvane::MTPFileSystem::DirectoryKey{object->storageID(), object->handle()};
}

corvane::MTPFileSystem::DirectoryKey destinationFolder(const AndroidItem::Kind& kind) {
    if (const auto* storage = kind.storage()) {
        return {storage->id, corvane::MTPFileSystem::rootParent};
    }
    if (const auto* object = kind.object(); object && object->isDirectory()) {
        return {object->storageID(), object->handle()};
    }
    // The root holds only storages, and a file holds nothing.
    throw posixError(EPERM);
}

bool isWriteProtected(const AndroidItem::Kind& kind) noexcept {
    if (const auto* storage = kind.storage()) {
        return storage->isReadOnly();
    }
    if (const auto* object = kind.object()) {
        return object->isReadOnly();
    }
    return true;
}

corvane::MTPObject withSize(const corvane::MTPObject& object, std::uint64_t size) {
    return corvane::MTPObject(object.handle(), object.storageID(), object.parent(), object.name(), size,
                              object.format(), object.modified(), object.isReadOnly());
}

corvane::MTPObject withModified(const corvane::MTPObject& object, platform::Clock::WallTime modified) {
    return corvane::MTPObject(object.handle(), object.storageID(), object.parent(), object.name(),
                              object.size(), object.format(), modified, object.isReadOnly());
}

std::string nameText(const fskit::FSFileName& name) {
    auto text = name.string();
    if (!text) {
        throw posixError(EINVAL);
    }
    return std::move(*text);
}

bool fitsOnDevice(std::string_view name) {
    constexpr std::size_t longestName = 254;
    return platform::unicode::toUTF16(name).size() <= longestName;
}

void consume(fskit::FSItemSetAttributesRequest& request, fskit::FSItemAttributeSet attributes) {
    const auto present = request.validAttributes() & attributes;
    request.setConsumedAttributes(request.consumedAttributes() | present);
}

} // namespace tandalo
