#pragma once

#include "platform/fskit/FSUnaryFileSystem.h"
#include "platform/fskit/FSVolume.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fskit::fake {

/// One file or folder of the fake volume. Everything but id is guarded by the volume's lock.
class FakeItem final : public FSItem {
public:
    FakeItem(FSItemID idIn, FSItemID parentIDIn, std::string nameIn, FSItemType typeIn)
        : id(idIn), parentID(parentIDIn), name(std::move(nameIn)), type(typeIn) {}

    const FSItemID id;
    FSItemID parentID;
    std::string name;
    FSItemType type;
    std::vector<std::byte> data;
    std::map<std::string, std::shared_ptr<FakeItem>> children; // sorted, so listing positions are stable
    int openCount = 0;
};

/// How the fake breaks the reply rules for one operation, so that tests can see the host catch it.
enum class Misbehaviour {
    none,
    replyTwice,
    neverReply,           // drops the reply without calling it
    holdReply,            // keeps the reply until releaseHeldReplies()
    throwFromEntryPoint,  // lets an exception escape the entry point
    successWithoutResult, // replies success with every argument empty
    overCount,            // a read replies one byte more than its buffer holds
    packAfterReply,       // an enumeration packs another entry after replying
};

/// A small pool that delivers replies on threads other than the caller's, as a real volume's tasks do.
class ReplyWorkers {
public:
    explicit ReplyWorkers(std::size_t threads);
    ~ReplyWorkers();
    void post(std::function<void()> task);

private:
    std::mutex m_mutex; // guards m_tasks, m_stopping
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_tasks;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

/// An in-memory tree behind every volume operation. Listing positions are cookies: 0 is ".", 1 is "..",
/// 2 + i the i-th child by name; the verifier is a generation raised by every change of the tree.
class FakeVolume final : public FSVolume,
                         public FSVolumeOperations,
                         public FSVolumeReadWriteOperations,
                         public FSVolumeOpenCloseOperations {
public:
    enum class ReplyThread { caller, worker };

    FakeVolume(bool readOnly, ReplyThread replyThread);

    void misbehave(const std::string& operation, Misbehaviour misbehaviour);
    /// Delivers every reply kept by Misbehaviour::holdReply.
    void releaseHeldReplies();
    /// Raises the generation as a change made behind the platform's back would.
    void touch();
    /// Runs at the start of every enumeration, without the volume's lock.
    void setEnumerationHook(std::function<void(FSDirectoryCookie)> hook);
    std::shared_ptr<FakeItem> rootItem() const { return m_root; }

    std::uint32_t maximumLinkCount() const override { return 1; }
    std::uint32_t maximumNameLength() const override { return 255; }
    bool restrictsOwnershipChanges() const override { return true; }
    bool truncatesLongNames() const override { return false; }
    std::uint64_t maximumFileSize() const override { return ~std::uint64_t{0}; }

    FSVolumeSupportedCapabilities supportedVolumeCapabilities() const override;
    FSStatFSResult volumeStatistics() const override;
    void mount(FSTaskOptions options, StatusReply reply) override;
    void unmount(UnmountReply reply) override;
    void activate(FSTaskOptions options, ItemReply reply) override;
    void deactivate(FSDeactivateOptions options, StatusReply reply) override;
    void synchronize(FSSyncFlags flags, StatusReply reply) override;
    void getAttributes(FSItemGetAttributesRequest desired, std::shared_ptr<FSItem> item,
                       AttributesReply reply) override;
    void setAttributes(std::shared_ptr<FSItemSetAttributesRequest> newAttributes,
                       std::shared_ptr<FSItem> item, AttributesReply reply) override;
    void lookupItem(FSFileName name, std::shared_ptr<FSItem> directory, ItemNameReply reply) override;
    void reclaimItem(std::shared_ptr<FSItem> item, StatusReply reply) override;
    void readSymbolicLink(std::shared_ptr<FSItem> item, NameReply reply) override;
    void createItem(FSFileName name, FSItemType type, std::shared_ptr<FSItem> directory,
                    std::shared_ptr<FSItemSetAttributesRequest> newAttributes, ItemNameReply reply) override;
    void createSymbolicLink(FSFileName name, std::shared_ptr<FSItem> directory,
                            std::shared_ptr<FSItemSetAttributesRequest> newAttributes,
                            FSFileName linkContents, ItemNameReply reply) override;
    void createLink(std::shared_ptr<FSItem> item, FSFileName name, std::shared_ptr<FSItem> directory,
                    NameReply reply) override;
    void removeItem(std::shared_ptr<FSItem> item, FSFileName name, std::shared_ptr<FSItem> directory,
                    StatusReply reply) override;
    void renameItem(std::shared_ptr<FSItem> item, std::shared_ptr<FSItem> sourceDirectory,
                    FSFileName sourceName, FSFileName destinationName,
                    std::shared_ptr<FSItem> destinationDirectory, std::shared_ptr<FSItem> overItem,
                    NameReply reply) override;
    void enumerateDirectory(std::shared_ptr<FSItem> directory, FSDirectoryCookie startingAtCookie,
                            FSDirectoryVerifier verifier,
                            std::optional<FSItemGetAttributesRequest> attributes,
                            std::shared_ptr<FSDirectoryEntryPacker> packer, EnumerateReply reply) override;
    void readFromFile(std::shared_ptr<FSItem> item, off_t offset, std::size_t length,
                      std::shared_ptr<FSMutableFileDataBuffer> buffer, ByteCountReply reply) override;
    void writeContents(std::span<const std::byte> contents, std::shared_ptr<FSItem> item, off_t offset,
                       ByteCountReply reply) override;
    void openItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes, StatusReply reply) override;
    void closeItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes, StatusReply reply) override;

private:
    template <typename... Args, typename Work>
    void serve(const std::string& operation, const Reply<Args...>& reply, Work work);
    template <typename... Args>
    void deliver(const std::string& operation, const Reply<Args...>& reply, std::tuple<Args...> arguments);
    Misbehaviour misbehaviourFor(const std::string& operation) const;
    void schedule(std::function<void()> task);

    // These expect m_lock to be held.
    std::shared_ptr<FakeItem> itemOf(const std::shared_ptr<FSItem>& item) const;
    std::shared_ptr<FakeItem> directoryOf(const std::shared_ptr<FSItem>& item) const;
    FSItemAttributes attributesOf(const FakeItem& item) const;
    void requireWritable() const;

    const bool m_readOnly;
    const ReplyThread m_replyThread;
    const std::shared_ptr<FakeItem> m_root;

    mutable std::mutex m_lock; // guards the tree, m_items, m_nextID, m_generation, m_misbehaviours, m_held,
                               // m_hook; never held while a reply is delivered
    std::map<FSItemID, std::shared_ptr<FakeItem>> m_items; // every item in the tree, by identifier
    FSItemID m_nextID = 3;
    std::uint64_t m_generation = 1;
    std::map<std::string, Misbehaviour> m_misbehaviours;
    std::vector<std::function<void()>> m_held;
    std::function<void(FSDirectoryCookie)> m_hook;

    ReplyWorkers m_workers{4}; // last, so it stops before the rest goes
};

/// A unary file system over FakeVolume. It recognises generic URLs "fake://<name>"; "fake://missing"
/// fails to load with ENXIO. "--rdonly" loads a read-only volume.
class FakeFileSystem final : public FSUnaryFileSystem {
public:
    explicit FakeFileSystem(FakeVolume::ReplyThread replyThread = FakeVolume::ReplyThread::caller)
        : m_replyThread(replyThread) {}

    void probeResource(std::shared_ptr<FSResource> resource, ProbeReply reply) override;
    void loadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options, LoadReply reply) override;
    void unloadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options,
                        UnloadReply reply) override;
    void didFinishLoading() override { ++m_finishedLoading; }

    int finishedLoadingCount() const { return m_finishedLoading; }

private:
    const FakeVolume::ReplyThread m_replyThread;
    std::atomic<int> m_finishedLoading{0};
};

} // namespace fskit::fake
