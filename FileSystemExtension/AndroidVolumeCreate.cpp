// Creating items: folders on the device at once, files in memory until they are flushed, Finder's metadata
// files in memory for good. Links are not supported.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/VolumeOperationSupport.h"

#include <cerrno>

namespace tandalo {

namespace {

/// Mode, owners, flags, access, modification and birth time: accepted, never sent to the device.
constexpr std::uint64_t consumedOnCreate = 0x2C3A;
/// The same and the size, which an in-memory metadata file takes as it comes.
constexpr std::uint64_t consumedOnMemoryCreate = 0x2C7A;

void markConsumed(const std::shared_ptr<fskit::FSItemSetAttributesRequest>& request, std::uint64_t mask) {
    if (request) {
        request->setConsumedAttributes(request->consumedAttributes() |
                                       fskit::FSItemAttributeSet::fromRawValue(mask));
    }
}

} // namespace

void AndroidVolume::createItem(fskit::FSFileName name, fskit::FSItemType type,
                               std::shared_ptr<fskit::FSItem> directory,
                               std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                               fskit::ItemNameReply reply) {
    const auto folder = std::dynamic_pointer_cast<AndroidItem>(directory);
    const auto text = name.string();
    if (!folder || !text) {
        reply(nullptr, std::nullopt, posixError(EINVAL));
        return;
    }
    if (!fitsOnDevice(*text)) {
        reply(nullptr, std::nullopt, posixError(ENAMETOOLONG));
        return;
    }
    if (readOnly()) {
        reply(nullptr, std::nullopt, posixError(EROFS));
        return;
    }
    const auto kind = withLock([&](Tables& tables) { return folder->state(tables.lock).kind; });
    if (isWriteProtected(kind)) {
        reply(nullptr, std::nullopt, posixError(EROFS));
        return;
    }
    const bool metadata = isEphemeralName(*text);
    if (type == fskit::FSItemType::file && metadata) {
        auto item = std::make_shared<EphemeralItem>(
            *text, folder->id(), EphemeralItem::Destination::memoryOnly(), clock().wallNow());
        withLock([&](Tables& tables) { tables.addEphemeral(item); });
        markConsumed(newAttributes, consumedOnMemoryCreate);
        reply(std::move(item), std::move(name), std::nullopt);
        return;
    }
    corvane::MTPFileSystem::DirectoryKey place;
    try {
        place = destinationFolder(kind);
    } catch (...) {
        reply(nullptr, std::nullopt, fsError(std::current_exception()));
        return;
    }
    if (type != fskit::FSItemType::file && type != fskit::FSItemType::directory) {
        reply(nullptr, std::nullopt, posixError(ENOTSUP));
        return;
    }
    // A folder under a metadata name would be made on the device and then never shown or found again,
    // since listings and look-ups keep such names to memory.
    if (metadata) {
        reply(nullptr, std::nullopt, posixError(EPERM));
        return;
    }
    if (type == fskit::FSItemType::file) {
        auto item = std::make_shared<EphemeralItem>(
            *text, folder->id(), EphemeralItem::Destination::device(place.storage, place.parent),
            clock().wallNow());
        withLock([&](Tables& tables) { tables.addEphemeral(item); });
        markConsumed(newAttributes, consumedOnCreate);
        reply(std::move(item), std::move(name), std::nullopt);
        return;
    }
    startTask([this, folder, place, folderName = *text, newAttributes, reply] {
        std::shared_ptr<AndroidItem> created;
        std::string createdName;
        try {
            const auto object = fs().createDirectory(place.storage, place.parent, folderName);
            withLock([](Tables& tables) { ++tables.generation; });
            createdName = object.name();
            created = item(AndroidItem::Kind::object(object), createdName, *folder);
        } catch (...) {
            reply(nullptr, std::nullopt, fsError(std::current_exception()));
            return;
        }
        markConsumed(newAttributes, consumedOnCreate);
        // The device may have changed the name; FSKit must know the one it has.
        reply(created, fskit::FSFileName(createdName), std::nullopt);
    });
}

void AndroidVolume::createSymbolicLink(fskit::FSFileName, std::shared_ptr<fskit::FSItem>,
                                       std::shared_ptr<fskit::FSItemSetAttributesRequest>, fskit::FSFileName,
                                       fskit::ItemNameReply reply) {
    reply(nullptr, std::nullopt, posixError(ENOTSUP));
}

void AndroidVolume::createLink(std::shared_ptr<fskit::FSItem>, fskit::FSFileName,
                               std::shared_ptr<fskit::FSItem>, fskit::NameReply reply) {
    reply(std::nullopt, posixError(ENOTSUP));
}

} // namespace tandalo
