#include "platform/fuse/VolumeBridge.h"

#include "platform/fskit/Error.h"
#include "platform/fuse/VolumeBridgeReplies.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <utility>
#include <vector>

// Open files: open, create, read, write, flush and release; listings are in VolumeBridgeListings.cpp.
namespace fusehost {

using detail::fileNameOf;
using detail::refuse;
using fskit::FSItem;

namespace {

fskit::FSVolumeOpenModes openModesOf(int flags) {
    switch (flags & O_ACCMODE) {
    case O_WRONLY:
        return fskit::FSVolumeOpenMode::write;
    case O_RDWR:
        return fskit::FSVolumeOpenMode::read | fskit::FSVolumeOpenMode::write;
    default:
        return fskit::FSVolumeOpenMode::read;
    }
}

} // namespace

fskit::FSVolumeOpenModes VolumeBridge::countOpen(const OpenFile& file, int change) {
    auto& counts = m_openCounts[file.item.get()];
    counts.readers += file.modes.contains(fskit::FSVolumeOpenMode::read) ? change : 0;
    counts.writers += file.modes.contains(fskit::FSVolumeOpenMode::write) ? change : 0;
    fskit::FSVolumeOpenModes open;
    if (counts.readers > 0) {
        open.insert(fskit::FSVolumeOpenMode::read);
    }
    if (counts.writers > 0) {
        open.insert(fskit::FSVolumeOpenMode::write);
    }
    if (open.isEmpty()) {
        m_openCounts.erase(file.item.get());
    }
    return open;
}

void VolumeBridge::openInVolume(const std::shared_ptr<KernelRequest>& request,
                                const std::shared_ptr<OpenFile>& file, std::function<void()> next) {
    {
        std::lock_guard guard(m_lock);
        file->openInVolume = true;
        countOpen(*file, 1);
    }
    if (m_openClose == nullptr) {
        next();
        return;
    }
    auto reply = replyFor<fskit::StatusReply>(
        request, "openItem", [this, file, next = std::move(next)](std::optional<fskit::Error> error) {
            if (error) {
                {
                    std::lock_guard guard(m_lock);
                    file->openInVolume = false;
                    countOpen(*file, -1);
                }
                throw *error;
            }
            next();
        });
    try {
        m_openClose->openItem(file->item, file->modes, reply);
    } catch (...) {
        std::lock_guard guard(m_lock);
        file->openInVolume = false;
        countOpen(*file, -1);
        throw;
    }
}

void VolumeBridge::ensureOpen(const std::shared_ptr<KernelRequest>& request,
                              const std::shared_ptr<OpenFile>& file, std::function<void()> next) {
    bool open = false;
    {
        std::lock_guard guard(m_lock);
        open = file->openInVolume;
    }
    if (open) {
        next();
        return;
    }
    // A flush closed the file in the volume, yet the descriptor lives on (a dup, a fork, an mmap):
    // open it again so that the volume never sees a write to a file it considers closed.
    openInVolume(request, file, std::move(next));
}

void VolumeBridge::closeInVolume(const std::shared_ptr<OpenFile>& file,
                                 std::function<void(std::optional<fskit::Error>)> done) {
    fskit::FSVolumeOpenModes remaining;
    bool wasOpen = false;
    {
        std::lock_guard guard(m_lock);
        wasOpen = file->openInVolume;
        if (wasOpen) {
            file->openInVolume = false;
            remaining = countOpen(*file, -1);
        }
    }
    // Nothing to close when the volume already had the close of this open.
    if (!wasOpen || m_openClose == nullptr) {
        done(std::nullopt);
        return;
    }
    auto finish = std::make_shared<std::function<void(std::optional<fskit::Error>)>>(std::move(done));
    fskit::StatusReply reply(
        "closeItem", [finish](std::optional<fskit::Error> error) { (*finish)(std::move(error)); },
        [finish, log = m_log](const fskit::ReplyFault& fault) {
            if (fault.kind == fskit::ReplyFaultKind::neverReplied) {
                log.fault("closeItem let its reply go unanswered; answering EIO");
                (*finish)(fskit::fs_errorForPOSIXError(EIO));
            } else {
                log.fault("closeItem replied more than once; the extra reply was dropped");
            }
        });
    try {
        m_openClose->closeItem(file->item, remaining, reply);
    } catch (const std::exception& error) {
        // The reply goes unanswered with this frame, and its fault answers EIO.
        m_log.error("closeItem threw: %{public}s", error.what());
    }
}

void VolumeBridge::open(fuse_req_t kernel, NodeID node, fuse_file_info* info) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto file = std::make_shared<OpenFile>();
        file->item = itemOf(node);
        file->modes = openModesOf(info->flags);
        fuse_file_info answerInfo = *info;
        // The kernel keeps what it cached of the file only when the volume reports the same size and
        // modification time as at the last open: anything else may have changed the contents.
        withAttributes(request, file->item,
                       [this, request, file, answerInfo](const fskit::FSItemAttributes& attributes) {
                           bool keepCache = false;
                           const bool versioned = attributes.isValid(fskit::FSItemAttribute::size) &&
                                                  attributes.isValid(fskit::FSItemAttribute::modifyTime);
                           {
                               std::lock_guard guard(m_lock);
                               if (versioned) {
                                   const ContentVersion version{attributes.size(), attributes.modifyTime()};
                                   const auto found = m_contentVersions.find(file->item.get());
                                   keepCache = found != m_contentVersions.end() && found->second == version;
                                   m_contentVersions[file->item.get()] = version;
                               } else {
                                   m_contentVersions.erase(file->item.get());
                               }
                           }
                           openInVolume(request, file,
                                        [this, request, file, answerInfo, keepCache]() mutable {
                                            answerInfo.keep_cache = keepCache ? 1 : 0;
                                            answerInfo.direct_io = 0;
                                            answerOpened(request, file, answerInfo,
                                                         [](fuse_req_t answer, const fuse_file_info& info) {
                                                             return fuse_reply_open(answer, &info);
                                                         });
                                        });
                       });
    });
}

void VolumeBridge::answerOpened(const std::shared_ptr<KernelRequest>& request,
                                const std::shared_ptr<OpenFile>& file, fuse_file_info info,
                                const std::function<int(fuse_req_t, const fuse_file_info&)>& send) {
    std::uint64_t handle = 0;
    {
        std::lock_guard guard(m_lock);
        handle = m_nextHandle++;
        m_files.emplace(handle, file);
    }
    info.fh = handle;
    const int result = request->answer([&](fuse_req_t answer) { return send(answer, info); });
    if (result != 0) {
        {
            std::lock_guard guard(m_lock);
            m_files.erase(handle);
        }
        internalCallStarted();
        closeInVolume(
            file, [self = shared_from_this()](std::optional<fskit::Error>) { self->internalCallEnded(); });
    }
}

void VolumeBridge::answerCreated(const std::shared_ptr<KernelRequest>& request, std::shared_ptr<FSItem> item,
                                 fuse_file_info info) {
    withAttributes(request, item, [this, request, item, info](const fskit::FSItemAttributes& attributes) {
        auto file = std::make_shared<OpenFile>();
        file->item = item;
        file->modes = openModesOf(info.flags);
        openInVolume(request, file, [this, request, file, info, attributes]() mutable {
            info.keep_cache = 0;
            // A file created for writing only (every copy onto the volume) is written past the page
            // cache: the kernel then hands the writer's own pages to the request instead of copying them
            // into cache pages first, which spares a copy and a page allocation per page written, the
            // larger part of what a large copy in costs besides the device. Nothing can have cached the
            // new file's pages before these writes, and no mapping can write through a write-only open.
            info.direct_io = (info.flags & O_ACCMODE) == O_WRONLY ? 1 : 0;
            answerOpened(request, file, info, [&](fuse_req_t answer, const fuse_file_info& opened) {
                return sendEntry(answer, file->item, attributes,
                                 [&](fuse_req_t kernel, const fuse_entry_param& entry) {
                                     return fuse_reply_create(kernel, &entry, &opened);
                                 });
            });
        });
    });
}

void VolumeBridge::create(fuse_req_t kernel, NodeID parent, const char* name, mode_t mode,
                          fuse_file_info* info) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto directory = itemOf(parent);
        auto attributes = std::make_shared<fskit::FSItemSetAttributesRequest>();
        attributes->setMode(mode & 07777);
        const fuse_file_info answerInfo = *info;
        auto reply =
            itemReply(request, "createItem", [this, request, answerInfo](std::shared_ptr<FSItem> item) {
                answerCreated(request, std::move(item), answerInfo);
            });
        m_operations->createItem(fileNameOf(name), fskit::FSItemType::file, directory, attributes, reply);
    });
}

void VolumeBridge::read(fuse_req_t kernel, NodeID, std::size_t size, off_t offset,
                        fuse_file_info* info) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        if (m_readWrite == nullptr) {
            refuse(ENOTSUP);
        }
        auto file = openFileOf(info);
        ensureOpen(request, file, [this, request, file, size, offset] {
            auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(size);
            auto reply = replyFor<fskit::ByteCountReply>(
                request, "readFromFile",
                [this, request, buffer](std::size_t count, std::optional<fskit::Error> error) {
                    if (error) {
                        throw *error;
                    }
                    if (count > buffer->length()) {
                        m_log.fault("readFromFile replied %{public}u bytes for a buffer of %{public}u", count,
                                    buffer->length());
                        refuse(EIO);
                    }
                    const auto bytes = buffer->bytes();
                    request->answer([&](fuse_req_t answer) {
                        return fuse_reply_buf(answer, reinterpret_cast<const char*>(bytes.data()), count);
                    });
                });
            m_readWrite->readFromFile(file->item, offset, size, buffer, reply);
        });
    });
}

void VolumeBridge::write(fuse_req_t kernel, NodeID, const char* bytes, std::size_t size, off_t offset,
                         fuse_file_info* info) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        if (m_readWrite == nullptr) {
            refuse(ENOTSUP);
        }
        auto file = openFileOf(info);
        const auto contents = std::span(reinterpret_cast<const std::byte*>(bytes), size);
        // The kernel's buffer is only ours until this callback returns; a reopen answered later must
        // still write the same bytes, so the bytes are copied only on that path.
        bool open = false;
        {
            std::lock_guard guard(m_lock);
            open = file->openInVolume || m_openClose == nullptr;
        }
        auto writeNow = [this, request, file, offset, size](std::span<const std::byte> data) {
            auto reply = replyFor<fskit::ByteCountReply>(
                request, "writeContents",
                [this, request, size](std::size_t count, std::optional<fskit::Error> error) {
                    if (error) {
                        throw *error;
                    }
                    if (count > size) {
                        m_log.fault("writeContents replied %{public}u bytes for %{public}u given", count,
                                    size);
                        refuse(EIO);
                    }
                    request->answer([&](fuse_req_t answer) { return fuse_reply_write(answer, count); });
                });
            m_readWrite->writeContents(data, file->item, offset, reply);
        };
        if (open) {
            writeNow(contents);
            return;
        }
        auto copy = std::make_shared<std::vector<std::byte>>(contents.begin(), contents.end());
        ensureOpen(request, file, [writeNow, copy] { writeNow(*copy); });
    });
}

void VolumeBridge::flush(fuse_req_t kernel, NodeID, fuse_file_info* info) noexcept {
    // Each close(2) sends a flush, and only its answer reaches the closing program: so this is where the
    // volume gets its close, and where an upload that fails at close is reported.
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto file = openFileOf(info);
        closeInVolume(file, [request](std::optional<fskit::Error> error) {
            const int code = error ? errnoOf(*error) : 0;
            request->answer([&](fuse_req_t answer) { return fuse_reply_err(answer, code); });
        });
    });
}

void VolumeBridge::release(fuse_req_t kernel, NodeID, fuse_file_info* info) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        std::shared_ptr<OpenFile> file;
        {
            std::lock_guard guard(m_lock);
            const auto found = m_files.find(info->fh);
            if (found == m_files.end()) {
                refuse(EBADF);
            }
            file = found->second;
            m_files.erase(found);
        }
        closeInVolume(file, [request, log = m_log](std::optional<fskit::Error> error) {
            // The kernel ignores a release's answer: keep the failure visible in the log.
            if (error) {
                log.error("closeItem at release failed: %{public}s", error->description());
            }
            request->answer(
                [&](fuse_req_t answer) { return fuse_reply_err(answer, error ? errnoOf(*error) : 0); });
        });
    });
}

void VolumeBridge::fsync(fuse_req_t kernel) noexcept {
    serve(kernel, [&](const std::shared_ptr<KernelRequest>& request) {
        auto reply = replyFor<fskit::StatusReply>(
            request, "synchronize", [request](std::optional<fskit::Error> error) {
                if (error) {
                    throw *error;
                }
                request->answer([](fuse_req_t answer) { return fuse_reply_err(answer, 0); });
            });
        m_operations->synchronize(fskit::FSSyncFlags::wait, reply);
    });
}

} // namespace fusehost
