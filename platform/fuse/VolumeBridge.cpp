#include "platform/fuse/VolumeBridge.h"

#include "platform/fskit/Error.h"
#include "platform/fuse/FuseError.h"
#include "platform/fuse/VolumeBridgeReplies.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

// Names, attributes and the volume's lifecycle; open files and folders are in VolumeBridgeFiles.cpp.
namespace fusehost {

using detail::fileNameOf;
using detail::refuse;
using fskit::FSItem;

VolumeBridge::VolumeBridge(std::shared_ptr<fskit::FSVolume> volume, std::shared_ptr<FSItem> root,
                           Configuration configuration, oslog::Logger log)
    : m_volume(std::move(volume)), m_operations(dynamic_cast<fskit::FSVolumeOperations*>(m_volume.get())),
      m_readWrite(dynamic_cast<fskit::FSVolumeReadWriteOperations*>(m_volume.get())),
      m_openClose(dynamic_cast<fskit::FSVolumeOpenCloseOperations*>(m_volume.get())),
      m_configuration(configuration), m_log(std::move(log)),
      m_requests(std::make_shared<KernelRequestRegistry>()), m_inodes(std::move(root)) {
    if (m_operations == nullptr) {
        throw FuseError(EINVAL, "the volume implements no volume operations");
    }
}

std::shared_ptr<FSItem> VolumeBridge::itemOf(NodeID node) const {
    auto item = m_inodes.item(node);
    if (!item) {
        refuse(ESTALE);
    }
    return item;
}

std::shared_ptr<VolumeBridge::OpenFile> VolumeBridge::openFileOf(const fuse_file_info* file) const {
    std::lock_guard guard(m_lock);
    const auto found = m_files.find(file->fh);
    if (found == m_files.end()) {
        refuse(EBADF);
    }
    return found->second;
}

fuse_entry_param VolumeBridge::entryOf(NodeID node, const fskit::FSItemAttributes& attributes) const {
    fuse_entry_param entry{};
    entry.ino = node;
    entry.generation = 1;
    entry.attr = statOf(attributes, node, m_configuration.statDefaults);
    entry.attr_timeout = m_configuration.attributeTimeout;
    entry.entry_timeout = m_configuration.entryTimeout;
    return entry;
}

void VolumeBridge::internalCallStarted() {
    std::lock_guard guard(m_lock);
    ++m_internalCalls;
}

void VolumeBridge::internalCallEnded() {
    {
        std::lock_guard guard(m_lock);
        --m_internalCalls;
    }
    m_internalCallsChanged.notify_all();
}

void VolumeBridge::init(fuse_conn_info* connection) noexcept {
    // O_TRUNC then arrives as a setattr of size 0, the one way the volume knows to truncate.
    connection->want &= ~static_cast<unsigned>(FUSE_CAP_ATOMIC_O_TRUNC);
    // The volume buffers writes itself; the kernel's write-back cache would hide their errors until later.
    connection->want &= ~static_cast<unsigned>(FUSE_CAP_WRITEBACK_CACHE);
    // Names and attributes sent with a listing are worth it only to a kernel that may keep them; then a
    // listing spares a look-up per name, which is what makes `ls -l` of a large folder slow.
    constexpr auto listingsWithAttributes = FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO;
    if (m_configuration.entryTimeout > 0 && m_configuration.attributeTimeout > 0) {
        connection->want |= connection->capable & listingsWithAttributes;
    } else {
        connection->want &= ~static_cast<unsigned>(listingsWithAttributes);
    }
    if ((connection->capable & FUSE_CAP_AUTO_INVAL_DATA) != 0) {
        connection->want |= FUSE_CAP_AUTO_INVAL_DATA;
    }
    // Every request that reaches the device costs a transaction, so ask for the largest the session's
    // buffer holds. libfuse has already lowered max_write to that buffer and max_readahead to what the
    // kernel offered; both may only go down from here.
    connection->max_write = std::min(connection->max_write, m_configuration.maxRequestSize);
    connection->max_read = m_configuration.maxRequestSize;
    connection->max_readahead = std::min(connection->max_readahead, m_configuration.maxRequestSize);
    connection->max_background = m_configuration.maxBackground;
    std::lock_guard guard(m_lock);
    m_limits =
        ConnectionLimits{connection->max_write,      connection->max_read,    connection->max_readahead,
                         connection->max_background, connection->proto_major, connection->proto_minor};
}

void VolumeBridge::startNotifying(fuse_session* session) {
    {
        std::lock_guard guard(m_notifierLock);
        m_notifier = std::make_unique<KernelNotifier>(session);
    }
    m_volume->setChangeObserver(shared_from_this());
}

void VolumeBridge::stopNotifying(KernelNotifierEnd end) {
    m_volume->setChangeObserver(nullptr);
    std::unique_ptr<KernelNotifier> notifier;
    {
        std::lock_guard guard(m_notifierLock);
        notifier = std::move(m_notifier);
    }
    if (notifier && end == KernelNotifierEnd::abandon) {
        notifier->abandon();
        static_cast<void>(notifier.release()); // its thread still uses it
    }
}

void VolumeBridge::itemChanged(const FSItem& item) {
    if (const NodeID node = m_inodes.nodeOf(&item); node != 0) {
        std::lock_guard guard(m_notifierLock);
        if (m_notifier) {
            m_notifier->itemChanged(node);
        }
    }
}

void VolumeBridge::nameChanged(const FSItem& directory, const std::string& name) {
    if (const NodeID node = m_inodes.nodeOf(&directory); node != 0) {
        std::lock_guard guard(m_notifierLock);
        if (m_notifier) {
            m_notifier->nameChanged(node, name);
        }
    }
}

std::optional<ConnectionLimits> VolumeBridge::connectionLimits() const {
    std::lock_guard guard(m_lock);
    return m_limits;
}

int VolumeBridge::sendEntry(fuse_req_t kernel, const std::shared_ptr<FSItem>& item,
                            const fskit::FSItemAttributes& attributes,
                            const std::function<int(fuse_req_t, const fuse_entry_param&)>& send) {
    const NodeID node = m_inodes.remember(item, detail::fileIDOf(attributes));
    const auto entry = entryOf(node, attributes);
    const int result = send(kernel, entry);
    if (result != 0) {
        if (auto dropped = m_inodes.forget(node, 1)) {
            reclaim(std::move(dropped));
        }
    }
    return result;
}

void VolumeBridge::answerEntry(const std::shared_ptr<KernelRequest>& request, std::shared_ptr<FSItem> item) {
    withAttributes(request, item, [this, request, item](const fskit::FSItemAttributes& attributes) {
        request->answer([&](fuse_req_t kernel) {
            return sendEntry(kernel, item, attributes, [](fuse_req_t answer, const fuse_entry_param& entry) {
                return fuse_reply_entry(answer, &entry);
            });
        });
    });
}

void VolumeBridge::lookup(fuse_req_t kernel, NodeID parent, const char* name) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto directory = itemOf(parent);
        auto reply = itemReply(request, "lookupItem", [this, request](std::shared_ptr<FSItem> item) {
            answerEntry(request, std::move(item));
        });
        m_operations->lookupItem(fileNameOf(name), directory, reply);
    });
}

void VolumeBridge::reclaim(std::shared_ptr<FSItem> item) {
    {
        std::lock_guard guard(m_lock);
        m_contentVersions.erase(item.get());
        ++m_internalCalls;
    }
    fskit::StatusReply reply(
        "reclaimItem",
        [self = shared_from_this()](std::optional<fskit::Error> error) {
            if (error) {
                self->m_log.error("reclaimItem failed: %{public}s", error->description());
            }
            self->internalCallEnded();
        },
        [self = shared_from_this()](const fskit::ReplyFault& fault) {
            self->m_log.fault("reclaimItem broke the reply rules (%{public}s)",
                              fault.kind == fskit::ReplyFaultKind::neverReplied ? "never replied"
                                                                                : "replied twice");
            if (fault.kind == fskit::ReplyFaultKind::neverReplied) {
                self->internalCallEnded();
            }
        });
    try {
        m_operations->reclaimItem(std::move(item), reply);
    } catch (const std::exception& error) {
        m_log.error("reclaimItem threw: %{public}s", error.what());
        reply(fskit::fs_errorForPOSIXError(EIO));
    }
}

void VolumeBridge::forget(NodeID node, std::uint64_t count) noexcept {
    try {
        if (auto item = m_inodes.forget(node, count)) {
            reclaim(std::move(item));
        }
    } catch (const std::exception& error) {
        m_log.error("forget of node %{public}u failed: %{public}s", node, error.what());
    }
}

void VolumeBridge::getattr(fuse_req_t kernel, NodeID node) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        withAttributes(request, itemOf(node),
                       [this, request, node](const fskit::FSItemAttributes& attributes) {
                           const auto converted = statOf(attributes, node, m_configuration.statDefaults);
                           request->answer([&](fuse_req_t answer) {
                               return fuse_reply_attr(answer, &converted, m_configuration.attributeTimeout);
                           });
                       });
    });
}

void VolumeBridge::setattr(fuse_req_t kernel, NodeID node, const struct stat& attributes,
                           int toSet) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto item = itemOf(node);
        const auto now = m_configuration.clock->wallNow().time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now);
        const fskit::FSTimeSpec nowSpec{
            seconds.count(), std::chrono::duration_cast<std::chrono::nanoseconds>(now - seconds).count()};
        auto changes = setAttributesRequestOf(attributeChangesOf(attributes, toSet, nowSpec));
        auto reply = replyFor<fskit::AttributesReply>(
            request, "setAttributes",
            [this, request, node, changes](std::optional<fskit::FSItemAttributes> applied,
                                           std::optional<fskit::Error> error) {
                if (error) {
                    throw *error;
                }
                if (const int refusal = refusalOf(*changes); refusal != 0) {
                    refuse(refusal);
                }
                if (!applied) {
                    refuse(EIO);
                }
                const auto converted = statOf(*applied, node, m_configuration.statDefaults);
                request->answer([&](fuse_req_t answer) {
                    return fuse_reply_attr(answer, &converted, m_configuration.attributeTimeout);
                });
            });
        m_operations->setAttributes(changes, item, reply);
    });
}

void VolumeBridge::readlink(fuse_req_t kernel, NodeID node) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto item = itemOf(node);
        auto reply = replyFor<fskit::NameReply>(
            request, "readSymbolicLink",
            [request](std::optional<fskit::FSFileName> contents, std::optional<fskit::Error> error) {
                if (error) {
                    throw *error;
                }
                if (!contents) {
                    refuse(EIO);
                }
                const std::string text(contents->data());
                if (text.find('\0') != std::string::npos) {
                    refuse(EIO);
                }
                request->answer([&](fuse_req_t answer) { return fuse_reply_readlink(answer, text.c_str()); });
            });
        m_operations->readSymbolicLink(item, reply);
    });
}

void VolumeBridge::createItem(const std::shared_ptr<KernelRequest>& request, NodeID parent, const char* name,
                              fskit::FSItemType type, mode_t mode) {
    auto directory = itemOf(parent);
    auto attributes = std::make_shared<fskit::FSItemSetAttributesRequest>();
    attributes->setMode(mode & 07777);
    auto reply = itemReply(request, "createItem", [this, request](std::shared_ptr<FSItem> item) {
        answerEntry(request, std::move(item));
    });
    m_operations->createItem(fileNameOf(name), type, directory, attributes, reply);
}

void VolumeBridge::mknod(fuse_req_t kernel, NodeID parent, const char* name, mode_t mode) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        const auto type = itemTypeOfMode(mode);
        if (type == fskit::FSItemType::unknown || type == fskit::FSItemType::directory) {
            refuse(EINVAL);
        }
        createItem(request, parent, name, type, mode);
    });
}

void VolumeBridge::mkdir(fuse_req_t kernel, NodeID parent, const char* name, mode_t mode) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        createItem(request, parent, name, fskit::FSItemType::directory, mode);
    });
}

void VolumeBridge::remove(fuse_req_t kernel, NodeID parent, const char* name) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto directory = itemOf(parent);
        auto fileName = fileNameOf(name);
        auto lookupReply = itemReply(
            request, "lookupItem", [this, request, directory, fileName](std::shared_ptr<FSItem> item) {
                auto removeReply = replyFor<fskit::StatusReply>(
                    request, "removeItem", [request](std::optional<fskit::Error> removeError) {
                        if (removeError) {
                            throw *removeError;
                        }
                        request->answer([](fuse_req_t answer) { return fuse_reply_err(answer, 0); });
                    });
                m_operations->removeItem(item, fileName, directory, removeReply);
            });
        m_operations->lookupItem(fileName, directory, lookupReply);
    });
}

void VolumeBridge::symlink(fuse_req_t kernel, const char* contents, NodeID parent,
                           const char* name) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto directory = itemOf(parent);
        auto reply = itemReply(request, "createSymbolicLink", [this, request](std::shared_ptr<FSItem> item) {
            answerEntry(request, std::move(item));
        });
        m_operations->createSymbolicLink(fileNameOf(name), directory,
                                         std::make_shared<fskit::FSItemSetAttributesRequest>(),
                                         fileNameOf(contents), reply);
    });
}

void VolumeBridge::link(fuse_req_t kernel, NodeID node, NodeID newParent, const char* newName) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto item = itemOf(node);
        auto directory = itemOf(newParent);
        auto reply = replyFor<fskit::NameReply>(
            request, "createLink",
            [this, request, item](std::optional<fskit::FSFileName>, std::optional<fskit::Error> error) {
                if (error) {
                    throw *error;
                }
                answerEntry(request, item);
            });
        m_operations->createLink(item, fileNameOf(newName), directory, reply);
    });
}

void VolumeBridge::rename(fuse_req_t kernel, NodeID parent, const char* name, NodeID newParent,
                          const char* newName, unsigned flags) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        // Exchanging two names or leaving a whiteout is beyond what a volume's rename can say.
        if ((flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) != 0) {
            refuse(EINVAL);
        }
        const bool noReplace = (flags & RENAME_NOREPLACE) != 0;
        auto source = itemOf(parent);
        auto destination = itemOf(newParent);
        auto sourceName = fileNameOf(name);
        auto destinationName = fileNameOf(newName);
        auto lookupSource = itemReply(request, "lookupItem", [=, this](std::shared_ptr<FSItem> item) {
            // The item that the new name names now, if any, is the one the rename replaces.
            auto lookupOver = replyFor<fskit::ItemNameReply>(
                request, "lookupItem",
                [=, this](std::shared_ptr<FSItem> over, std::optional<fskit::FSFileName>,
                          std::optional<fskit::Error> overError) {
                    if (overError && overError->isPOSIX() && overError->code() == ENOENT) {
                        over.reset();
                    } else if (overError) {
                        throw *overError;
                    }
                    if (over && noReplace) {
                        refuse(EEXIST);
                    }
                    auto renameReply = replyFor<fskit::NameReply>(
                        request, "renameItem",
                        [request, moves = parent != newParent](std::optional<fskit::FSFileName>,
                                                               std::optional<fskit::Error> renameError) {
                            // A device that cannot move between folders: EXDEV is how Linux says
                            // "copy and delete instead", and mv and file managers do just that.
                            if (renameError && moves && renameError->isPOSIX() &&
                                renameError->code() == ENOTSUP) {
                                refuse(EXDEV);
                            }
                            if (renameError) {
                                throw *renameError;
                            }
                            request->answer([](fuse_req_t answer) { return fuse_reply_err(answer, 0); });
                        });
                    m_operations->renameItem(item, source, sourceName, destinationName, destination, over,
                                             renameReply);
                });
            m_operations->lookupItem(destinationName, destination, lookupOver);
        });
        m_operations->lookupItem(sourceName, source, lookupSource);
    });
}

void VolumeBridge::statfs(fuse_req_t kernel) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        const auto statistics =
            statvfsOf(m_operations->volumeStatistics(), m_operations->maximumNameLength());
        request->answer([&](fuse_req_t answer) { return fuse_reply_statfs(answer, &statistics); });
    });
}

void VolumeBridge::unsupported(fuse_req_t kernel) noexcept {
    serve(kernel, [](const std::shared_ptr<KernelRequest>& request) { request->fail(ENOTSUP); });
}

bool VolumeBridge::endServing() {
    bool complete = m_requests->settleAll(ENOTCONN, *m_configuration.clock, m_configuration.shutdownLimit);
    {
        // Files the kernel never released were abandoned by a forced unmount: their programs were cut off
        // mid-work. They are not closed in the volume, which would take a copy cut short for a finished
        // one; the volume's unmount finds them still open and deals with them as such.
        std::lock_guard guard(m_lock);
        if (!m_files.empty()) {
            m_log.notice("%{public}u files were still open at unmount", m_files.size());
        }
        m_files.clear();
        m_directories.clear();
    }
    for (auto& item : m_inodes.forgetAll()) {
        reclaim(std::move(item));
    }
    std::unique_lock lock(m_lock);
    complete = m_configuration.clock->waitFor(lock, m_internalCallsChanged, m_configuration.shutdownLimit, {},
                                              [&] { return m_internalCalls == 0; }) &&
               complete;
    return complete;
}

} // namespace fusehost
