#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"
#include "platform/fskit/FSReply.h"
#include "platform/fskit/FSVolume.h"
#include "platform/fuse/FuseConversions.h"
#include "platform/fuse/FuseMount.h"
#include "platform/fuse/InodeTable.h"
#include "platform/fuse/KernelNotifier.h"
#include "platform/fuse/KernelRequest.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <fuse_lowlevel.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace fusehost {

/// Turns the kernel's requests into the volume's operations and the volume's replies into the kernel's
/// answers, for one mount. It owns the node table, the open files and folders, and the registry of
/// unanswered requests; it shares the volume with the host.
///
/// Threads: libfuse's workers call the request members, several at once; each returns as soon as the
/// volume has taken the call, and the answer goes out from whichever thread the volume replies on. No
/// request member throws: every failure is answered as an errno.
class VolumeBridge : public fskit::FSVolumeChangeObserver, public std::enable_shared_from_this<VolumeBridge> {
public:
    struct Configuration {
        double entryTimeout = 0;
        double attributeTimeout = 0;
        std::uint32_t maxRequestSize = 1U << 20;
        std::uint32_t maxBackground = 16;
        StatDefaults statDefaults;
        platform::Clock* clock = &platform::Clock::system();
        /// How long endServing waits, in real time, for the volume's answers to its last calls.
        std::chrono::milliseconds shutdownLimit = std::chrono::seconds(10);
    };

    /// The volume must implement FSVolumeOperations; the read-write and open-close groups are optional
    /// (reads and writes are refused with ENOTSUP without the first; opens and closes always succeed
    /// without the second).
    VolumeBridge(std::shared_ptr<fskit::FSVolume> volume, std::shared_ptr<fskit::FSItem> root,
                 Configuration configuration, oslog::Logger log);
    VolumeBridge(const VolumeBridge&) = delete;
    VolumeBridge& operator=(const VolumeBridge&) = delete;

    // The kernel's requests.
    void init(fuse_conn_info* connection) noexcept;
    void lookup(fuse_req_t request, NodeID parent, const char* name) noexcept;
    /// Needs no answer: the caller sends fuse_reply_none.
    void forget(NodeID node, std::uint64_t count) noexcept;
    void getattr(fuse_req_t request, NodeID node) noexcept;
    void setattr(fuse_req_t request, NodeID node, const struct stat& attributes, int toSet) noexcept;
    void readlink(fuse_req_t request, NodeID node) noexcept;
    void mknod(fuse_req_t request, NodeID parent, const char* name, mode_t mode) noexcept;
    void mkdir(fuse_req_t request, NodeID parent, const char* name, mode_t mode) noexcept;
    /// unlink and rmdir alike: the kernel has checked the kind of the item already.
    void remove(fuse_req_t request, NodeID parent, const char* name) noexcept;
    void symlink(fuse_req_t request, const char* contents, NodeID parent, const char* name) noexcept;
    void rename(fuse_req_t request, NodeID parent, const char* name, NodeID newParent, const char* newName,
                unsigned flags) noexcept;
    void link(fuse_req_t request, NodeID node, NodeID newParent, const char* newName) noexcept;
    void open(fuse_req_t request, NodeID node, fuse_file_info* file) noexcept;
    void create(fuse_req_t request, NodeID parent, const char* name, mode_t mode,
                fuse_file_info* file) noexcept;
    void read(fuse_req_t request, NodeID node, std::size_t size, off_t offset, fuse_file_info* file) noexcept;
    void write(fuse_req_t request, NodeID node, const char* bytes, std::size_t size, off_t offset,
               fuse_file_info* file) noexcept;
    void flush(fuse_req_t request, NodeID node, fuse_file_info* file) noexcept;
    void release(fuse_req_t request, NodeID node, fuse_file_info* file) noexcept;
    void fsync(fuse_req_t request) noexcept;
    void opendir(fuse_req_t request, NodeID node, fuse_file_info* file) noexcept;
    void readdir(fuse_req_t request, NodeID node, std::size_t size, off_t offset,
                 fuse_file_info* file) noexcept;
    /// readdir with each entry's attributes, so that listing a folder spares the kernel a look-up per name.
    void readdirplus(fuse_req_t request, NodeID node, std::size_t size, off_t offset,
                     fuse_file_info* file) noexcept;
    void releasedir(fuse_req_t request, NodeID node, fuse_file_info* file) noexcept;
    void statfs(fuse_req_t request) noexcept;
    /// Extended attributes, allocation and the rest of what a volume cannot do.
    void unsupported(fuse_req_t request) noexcept;

    /// From here on the volume's changes reach the kernel through the session, until stopNotifying.
    void startNotifying(fuse_session* session);
    /// Sends what is queued and stops; abandon leaves the sending thread behind with a session that is
    /// left behind.
    void stopNotifying(KernelNotifierEnd end = KernelNotifierEnd::join);
    // The volume's changes: queued for the kernel when it holds the item or the folder.
    void itemChanged(const fskit::FSItem& item) override;
    void nameChanged(const fskit::FSItem& directory, const std::string& name) override;

    /// What the kernel agreed to at its INIT; nothing before it.
    std::optional<ConnectionLimits> connectionLimits() const;
    const InodeTable& inodes() const noexcept { return m_inodes; }

    /// Once the kernel connection has ended: answers every request still waiting, closes the files the
    /// kernel left open and reclaims every item it held, as the kernel's unmount implies. Waits for
    /// the volume's answers up to the shutdown limit; returns false when some did not come.
    bool endServing();

    struct ListedEntry;

private:
    struct ListedPage;
    struct OpenFile {
        std::shared_ptr<fskit::FSItem> item;
        fskit::FSVolumeOpenModes modes;
        bool openInVolume = false; // guarded by m_lock
    };
    struct OpenDirectory {
        std::shared_ptr<fskit::FSItem> item;
        fskit::FSDirectoryVerifier verifier = fskit::FSDirectoryVerifierInitial; // guarded by m_lock
    };
    struct OpenCounts {
        int readers = 0;
        int writers = 0;
    };
    /// What the kernel may have cached of a file: its size and modification time when it was opened.
    struct ContentVersion {
        std::uint64_t size = 0;
        fskit::FSTimeSpec modified;
        friend bool operator==(const ContentVersion&, const ContentVersion&) = default;
    };

    template <typename Body> void serve(fuse_req_t request, Body body) noexcept;
    template <typename ReplyType, typename Handler>
    ReplyType replyFor(const std::shared_ptr<KernelRequest>& request, const char* operation, Handler handler);
    /// A reply that hands the item the volume found or made to answer(item); an error, or no item, fails
    /// the request.
    template <typename Answer>
    fskit::ItemNameReply itemReply(const std::shared_ptr<KernelRequest>& request, const char* operation,
                                   Answer answer);

    std::shared_ptr<fskit::FSItem> itemOf(NodeID node) const;
    std::shared_ptr<OpenFile> openFileOf(const fuse_file_info* file) const;

    /// Gets the item's attributes and answers the request with an entry for it (or an entry and an open
    /// file, for create).
    void answerEntry(const std::shared_ptr<KernelRequest>& request, std::shared_ptr<fskit::FSItem> item);
    /// Asks the volume for the item's attributes and hands them to answer(attributes); an error, or none,
    /// fails the request.
    template <typename Answer>
    void withAttributes(const std::shared_ptr<KernelRequest>& request, std::shared_ptr<fskit::FSItem> item,
                        Answer answer);
    /// Gives the item a node and sends send(kernel, entry); the kernel counts only the entries it
    /// received, so a reply it did not take leaves no reference behind.
    int sendEntry(fuse_req_t kernel, const std::shared_ptr<fskit::FSItem>& item,
                  const fskit::FSItemAttributes& attributes,
                  const std::function<int(fuse_req_t, const fuse_entry_param&)>& send);
    /// Gives the file opened in the volume a handle and answers with send(kernel, info). A reply the
    /// kernel did not take brings no release, so then the handle is dropped and the file closed again.
    void answerOpened(const std::shared_ptr<KernelRequest>& request, const std::shared_ptr<OpenFile>& file,
                      fuse_file_info info, const std::function<int(fuse_req_t, const fuse_file_info&)>& send);
    void answerCreated(const std::shared_ptr<KernelRequest>& request, std::shared_ptr<fskit::FSItem> item,
                       fuse_file_info file);
    void createItem(const std::shared_ptr<KernelRequest>& request, NodeID parent, const char* name,
                    fskit::FSItemType type, mode_t mode);
    /// Adds change to the item's count of opens in the volume by this file's modes and returns the modes
    /// that stay open. The caller holds m_lock.
    fskit::FSVolumeOpenModes countOpen(const OpenFile& file, int change);
    /// Opens the item in the volume (when it has open-close operations), then runs next.
    void openInVolume(const std::shared_ptr<KernelRequest>& request, const std::shared_ptr<OpenFile>& file,
                      std::function<void()> next);
    /// Makes sure the file is open in the volume before a read or write (a flush may have closed it).
    void ensureOpen(const std::shared_ptr<KernelRequest>& request, const std::shared_ptr<OpenFile>& file,
                    std::function<void()> next);
    /// Closes the file in the volume if it is open there; done receives the close's error or none.
    void closeInVolume(const std::shared_ptr<OpenFile>& file,
                       std::function<void(std::optional<fskit::Error>)> done);
    void reclaim(std::shared_ptr<fskit::FSItem> item);
    void list(fuse_req_t kernel, std::size_t size, off_t offset, fuse_file_info* info,
              bool withAttributes) noexcept;
    /// Looks up every listed name but "." and "..", reads its attributes, then answers with the page.
    void resolveEntries(const std::shared_ptr<KernelRequest>& request, fuse_req_t kernel,
                        const std::shared_ptr<fskit::FSItem>& directory, std::vector<ListedEntry> entries);
    /// Gives each entry that has its item and attributes a node and sends the page with attributes.
    void answerEntries(const std::shared_ptr<KernelRequest>& request, fuse_req_t kernel, ListedPage& page);
    fuse_entry_param entryOf(NodeID node, const fskit::FSItemAttributes& attributes) const;

    // Internal calls (closes and reclaims that no kernel request waits for), counted for endServing.
    void internalCallStarted();
    void internalCallEnded();

    const std::shared_ptr<fskit::FSVolume> m_volume;
    fskit::FSVolumeOperations* const m_operations;
    fskit::FSVolumeReadWriteOperations* const m_readWrite; // may be null
    fskit::FSVolumeOpenCloseOperations* const m_openClose; // may be null
    const Configuration m_configuration;
    const oslog::Logger m_log;
    const std::shared_ptr<KernelRequestRegistry> m_requests;
    InodeTable m_inodes;

    mutable std::mutex
        m_lock; // guards every field below; never held across a call into the volume or a reply
    std::condition_variable_any m_internalCallsChanged;
    std::size_t m_internalCalls = 0;
    std::map<std::uint64_t, std::shared_ptr<OpenFile>> m_files;
    std::map<std::uint64_t, std::shared_ptr<OpenDirectory>> m_directories;
    std::map<const fskit::FSItem*, OpenCounts> m_openCounts;
    std::map<const fskit::FSItem*, ContentVersion> m_contentVersions;
    std::uint64_t m_nextHandle = 1;
    std::optional<ConnectionLimits> m_limits;

    std::mutex m_notifierLock; // a leaf: guards m_notifier, held while a notice is queued
    std::unique_ptr<KernelNotifier> m_notifier;
};

} // namespace fusehost
