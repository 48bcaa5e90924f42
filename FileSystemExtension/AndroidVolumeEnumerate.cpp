// Listing a folder into FSKit's packer, page by page: ".", "..", the device's children in listing order,
// then the folder's in-memory items by name. Cookies are positions; the verifier is the volume's
// generation.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/ErrorMapping.h"

#include <cerrno>

namespace tandalo {

namespace {

/// Position 0 is ".", 1 is "..", and the children follow; an entry's next cookie is its position plus one.
constexpr std::uint64_t firstChild = 2;
/// With attributes FSKit asks for the children only.
constexpr std::uint64_t firstCookieWithAttributes = 3;

bool isFolder(const AndroidItem::Kind& kind) {
    const auto* object = kind.object();
    return object == nullptr || object->isDirectory();
}

} // namespace

void AndroidVolume::enumerateDirectory(std::shared_ptr<fskit::FSItem> directory,
                                       fskit::FSDirectoryCookie startingAtCookie,
                                       fskit::FSDirectoryVerifier verifier,
                                       std::optional<fskit::FSItemGetAttributesRequest> attributesRequest,
                                       std::shared_ptr<fskit::FSDirectoryEntryPacker> packer,
                                       fskit::EnumerateReply reply) {
    const auto folder = std::dynamic_pointer_cast<AndroidItem>(directory);
    if (!folder || !withLock([&](Tables& tables) { return isFolder(folder->state(tables.lock).kind); })) {
        reply(verifier, posixError(ENOTDIR));
        return;
    }
    if (!packer) {
        reply(verifier, posixError(EINVAL));
        return;
    }
    const bool withAttributes = attributesRequest.has_value();
    auto packPage = [this, folder, startingAtCookie, withAttributes, packer,
                     reply](std::vector<FolderChild> deviceChildren) {
        const auto memoryChildren = ephemeralChildren(folder->id());
        struct Snapshot {
            std::uint64_t generation;
            std::shared_ptr<AndroidItem> parent;
        };
        const auto snapshot = withLock([&](Tables& tables) {
            const auto parent = tables.items.find(folder->state(tables.lock).parentID);
            return Snapshot{tables.generation, parent == tables.items.end() ? folder : parent->second};
        });
        const std::uint64_t total = firstChild + deviceChildren.size() + memoryChildren.size();
        std::uint64_t position = startingAtCookie;
        if (withAttributes && position < firstCookieWithAttributes) {
            position = firstChild;
        }
        auto pack = [&](const fskit::FSFileName& name, fskit::FSItemType type, std::uint64_t id,
                        auto attributesOf) {
            if (!withAttributes) {
                return packer->packEntry(name, type, id, position + 1, nullptr);
            }
            const fskit::FSItemAttributes attributes = attributesOf();
            return packer->packEntry(name, type, id, position + 1, &attributes);
        };
        for (; position < total; ++position) {
            bool packed = false;
            if (position == 0) {
                packed = pack(fskit::FSFileName("."), fskit::FSItemType::directory, folder->id(),
                              [&] { return attributes(*folder); });
            } else if (position == 1) {
                packed = pack(fskit::FSFileName(".."), fskit::FSItemType::directory, snapshot.parent->id(),
                              [&] { return attributes(*snapshot.parent); });
            } else if (const auto index = position - firstChild; index < deviceChildren.size()) {
                auto& child = deviceChildren[index];
                const bool directory = isFolder(child.kind);
                // Interned here, so that the operations FSKit sends next find the item by its identifier.
                const auto childItem = item(std::move(child.kind), child.name, *folder);
                const auto name =
                    withLock([&](Tables& tables) { return childItem->state(tables.lock).name; });
                packed = pack(fskit::FSFileName(name),
                              directory ? fskit::FSItemType::directory : fskit::FSItemType::file,
                              childItem->id(), [&] { return attributes(*childItem); });
            } else {
                const auto& memory = memoryChildren[index - deviceChildren.size()];
                const auto name = withLock([&](Tables& tables) { return memory->state(tables.lock).name; });
                packed = pack(fskit::FSFileName(name), fskit::FSItemType::file, memory->id(),
                              [&] { return attributes(*memory); });
            }
            if (!packed) {
                break;
            }
        }
        reply(snapshot.generation, std::nullopt);
    };
    // A folder whose listing is cached is packed on the calling thread: a task's thread costs more than
    // the page.
    if (auto cached = cachedChildren(*folder)) {
        packPage(std::move(*cached));
        return;
    }
    startTask([this, folder, verifier, packPage, reply] {
        std::vector<FolderChild> deviceChildren;
        try {
            deviceChildren = children(*folder);
        } catch (...) {
            reply(verifier, fsError(std::current_exception()));
            return;
        }
        packPage(std::move(deviceChildren));
    });
}

} // namespace tandalo
