#include "platform/fuse/VolumeBridge.h"

#include "platform/fskit/Error.h"
#include "platform/fuse/VolumeBridgeReplies.h"

#include <string>
#include <utility>
#include <vector>

// Open folders and their listings: opendir, readdir, readdirplus and releasedir.
namespace fusehost {

using detail::refuse;
using fskit::FSItem;

struct VolumeBridge::ListedEntry {
    std::string name;
    fskit::FSItemType type = fskit::FSItemType::unknown;
    fskit::FSItemID id = 0;
    fskit::FSDirectoryCookie nextCookie = 0;
    // With attributes only: the item the name stands for and its attributes, once the volume gave both.
    std::shared_ptr<FSItem> item;
    std::optional<fskit::FSItemAttributes> attributes;
};

/// A page whose entries are being given their items and attributes, answered when the last one is in.
struct VolumeBridge::ListedPage {
    std::vector<ListedEntry> entries;
    std::mutex lock; // guards the entries' items and attributes, and outstanding
    std::size_t outstanding = 0;
};

namespace {

/// One page of a listing as the volume packs it, kept until the answer. An entry is taken while its
/// dirent, plain or with attributes, still fits the kernel's buffer. The volume may pack from another
/// thread than the one that answers, so the page is guarded; after the answer it takes nothing.
class KernelDirectoryPacker final : public fskit::FSDirectoryEntryPacker {
public:
    KernelDirectoryPacker(fuse_req_t request, std::size_t capacity, bool withAttributes, oslog::Logger log)
        : m_request(request), m_capacity(capacity), m_withAttributes(withAttributes), m_log(std::move(log)) {}

    bool packEntry(const fskit::FSFileName& name, fskit::FSItemType itemType, fskit::FSItemID itemID,
                   fskit::FSDirectoryCookie nextCookie, const fskit::FSItemAttributes*) override {
        std::lock_guard guard(m_mutex);
        if (m_closed) {
            m_log.fault("the volume packed %{public}s after answering the listing", std::string(name.data()));
            return false;
        }
        std::string text(name.data());
        // A name the kernel cannot hold is left out rather than passed on cut short or split.
        if (text.empty() || text.find('\0') != std::string::npos || text.find('/') != std::string::npos) {
            m_log.error("directory entry with an unusable name left out (%{public}u bytes)", text.size());
            return true;
        }
        const std::size_t needed =
            m_withAttributes ? fuse_add_direntry_plus(m_request, nullptr, 0, text.c_str(), nullptr, 0)
                             : fuse_add_direntry(m_request, nullptr, 0, text.c_str(), nullptr, 0);
        if (needed > m_capacity - m_used) {
            return false;
        }
        m_used += needed;
        m_entries.push_back({std::move(text), itemType, itemID, nextCookie, nullptr, std::nullopt});
        return true;
    }

    /// Ends the page and hands over its entries.
    std::vector<VolumeBridge::ListedEntry> close() {
        std::lock_guard guard(m_mutex);
        m_closed = true;
        return std::move(m_entries);
    }

private:
    const fuse_req_t m_request;
    std::mutex m_mutex; // guards the fields below
    const std::size_t m_capacity;
    const bool m_withAttributes;
    std::size_t m_used = 0;
    std::vector<VolumeBridge::ListedEntry> m_entries;
    bool m_closed = false;
    const oslog::Logger m_log;
};

struct stat direntOf(const VolumeBridge::ListedEntry& entry) {
    struct stat attributes {};
    attributes.st_ino = entry.id;
    attributes.st_mode = modeTypeBits(entry.type);
    return attributes;
}

/// Appends one dirent in the kernel's format; the buffer grows entry by entry, since clearing the
/// megabyte the kernel may offer for every page of a small folder cost more than the listing itself.
template <typename Add> void append(std::vector<char>& buffer, Add add) {
    const std::size_t needed = add(nullptr, 0);
    const std::size_t used = buffer.size();
    buffer.resize(used + needed);
    add(buffer.data() + used, needed);
}

bool isSelfOrParent(const std::string& name) {
    return name == "." || name == "..";
}

} // namespace

void VolumeBridge::opendir(fuse_req_t kernel, NodeID node, fuse_file_info* info) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto directory = std::make_shared<OpenDirectory>();
        directory->item = itemOf(node);
        std::uint64_t handle = 0;
        {
            std::lock_guard guard(m_lock);
            handle = m_nextHandle++;
            m_directories.emplace(handle, directory);
        }
        fuse_file_info answerInfo = *info;
        answerInfo.fh = handle;
        if (request->answer([&](fuse_req_t answer) { return fuse_reply_open(answer, &answerInfo); }) != 0) {
            std::lock_guard guard(m_lock);
            m_directories.erase(handle);
        }
    });
}

void VolumeBridge::readdir(fuse_req_t kernel, NodeID, std::size_t size, off_t offset,
                           fuse_file_info* info) noexcept {
    list(kernel, size, offset, info, false);
}

void VolumeBridge::readdirplus(fuse_req_t kernel, NodeID, std::size_t size, off_t offset,
                               fuse_file_info* info) noexcept {
    list(kernel, size, offset, info, true);
}

void VolumeBridge::list(fuse_req_t kernel, std::size_t size, off_t offset, fuse_file_info* info,
                        bool withAttributes) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        std::shared_ptr<OpenDirectory> directory;
        fskit::FSDirectoryVerifier verifier = fskit::FSDirectoryVerifierInitial;
        {
            std::lock_guard guard(m_lock);
            const auto found = m_directories.find(info->fh);
            if (found == m_directories.end()) {
                refuse(EBADF);
            }
            directory = found->second;
            // Offset 0 starts the listing anew (opendir or rewinddir); a later page carries on with the
            // verifier of the page before.
            verifier = offset == 0 ? fskit::FSDirectoryVerifierInitial : directory->verifier;
        }
        auto packer = std::make_shared<KernelDirectoryPacker>(kernel, size, withAttributes, m_log);
        auto reply = replyFor<fskit::EnumerateReply>(
            request, "enumerateDirectory",
            [this, request, kernel, directory, packer, withAttributes](fskit::FSDirectoryVerifier next,
                                                                       std::optional<fskit::Error> error) {
                auto entries = packer->close();
                if (error) {
                    throw *error;
                }
                {
                    std::lock_guard guard(m_lock);
                    directory->verifier = next;
                }
                if (withAttributes) {
                    resolveEntries(request, kernel, directory->item, std::move(entries));
                    return;
                }
                std::vector<char> bytes;
                for (const auto& entry : entries) {
                    const auto attributes = direntOf(entry);
                    append(bytes, [&](char* at, std::size_t room) {
                        return fuse_add_direntry(kernel, at, room, entry.name.c_str(), &attributes,
                                                 static_cast<off_t>(entry.nextCookie));
                    });
                }
                request->answer(
                    [&](fuse_req_t answer) { return fuse_reply_buf(answer, bytes.data(), bytes.size()); });
            });
        m_operations->enumerateDirectory(directory->item, static_cast<fskit::FSDirectoryCookie>(offset),
                                         verifier, std::nullopt, packer, reply);
    });
}

void VolumeBridge::resolveEntries(const std::shared_ptr<KernelRequest>& request, fuse_req_t kernel,
                                  const std::shared_ptr<FSItem>& directory,
                                  std::vector<ListedEntry> entries) {
    // Each name is looked up and its attributes read as the kernel would do one request at a time; a
    // folder whose listing the volume holds answers both from memory. An entry whose item or attributes
    // do not come goes out without them, and the kernel asks for it on its own when it needs it. So does
    // an item the kernel holds already: it keeps what it knows of it until that times out or the volume
    // reports a change, and listing a folder again then costs the volume nothing per name.
    auto page = std::make_shared<ListedPage>();
    page->entries = std::move(entries);
    page->outstanding = page->entries.size() + 1; // one for this loop, so that early answers wait for it
    const auto done = [this, request, kernel, page] {
        {
            std::lock_guard guard(page->lock);
            if (--page->outstanding != 0) {
                return;
            }
        }
        answerEntries(request, kernel, *page);
    };
    const auto doneUnlessReplied = [done](const fskit::ReplyFault& fault) {
        if (fault.kind == fskit::ReplyFaultKind::neverReplied) {
            done();
        }
    };
    for (std::size_t index = 0; index < page->entries.size(); ++index) {
        const auto& name = page->entries[index].name;
        if (isSelfOrParent(name) || m_inodes.holds(page->entries[index].id)) {
            done();
            continue;
        }
        fskit::ItemNameReply found(
            "lookupItem",
            [this, request, page, index, done, doneUnlessReplied](std::shared_ptr<FSItem> item,
                                                                  std::optional<fskit::FSFileName>,
                                                                  std::optional<fskit::Error> error) {
                if (error || !item || request->isSettled()) {
                    done();
                    return;
                }
                fskit::AttributesReply read(
                    "getAttributes",
                    [page, index, item, done](std::optional<fskit::FSItemAttributes> attributes,
                                              std::optional<fskit::Error> attributesError) {
                        if (!attributesError && attributes) {
                            std::lock_guard guard(page->lock);
                            page->entries[index].item = item;
                            page->entries[index].attributes = std::move(attributes);
                        }
                        done();
                    },
                    doneUnlessReplied);
                m_operations->getAttributes(fskit::FSItemGetAttributesRequest(), item, read);
            },
            doneUnlessReplied);
        m_operations->lookupItem(fskit::FSFileName(name), directory, found);
    }
    done();
}

void VolumeBridge::answerEntries(const std::shared_ptr<KernelRequest>& request, fuse_req_t kernel,
                                 ListedPage& page) {
    std::vector<char> bytes;
    std::vector<NodeID> remembered;
    for (const auto& entry : page.entries) {
        fuse_entry_param parameters{};
        // Node 0 tells the kernel that the entry comes without attributes: it takes no reference then.
        if (entry.item && entry.attributes) {
            const NodeID node = m_inodes.remember(entry.item, detail::fileIDOf(*entry.attributes));
            remembered.push_back(node);
            parameters = entryOf(node, *entry.attributes);
        } else {
            parameters.attr = direntOf(entry);
        }
        append(bytes, [&](char* at, std::size_t room) {
            return fuse_add_direntry_plus(kernel, at, room, entry.name.c_str(), &parameters,
                                          static_cast<off_t>(entry.nextCookie));
        });
    }
    // The kernel counts only the references it received.
    if (request->answer(
            [&](fuse_req_t answer) { return fuse_reply_buf(answer, bytes.data(), bytes.size()); }) != 0) {
        for (const NodeID node : remembered) {
            if (auto dropped = m_inodes.forget(node, 1)) {
                reclaim(std::move(dropped));
            }
        }
    }
}

void VolumeBridge::releasedir(fuse_req_t kernel, NodeID, fuse_file_info* info) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        {
            std::lock_guard guard(m_lock);
            m_directories.erase(info->fh);
        }
        request->answer([](fuse_req_t answer) { return fuse_reply_err(answer, 0); });
    });
}

} // namespace fusehost
