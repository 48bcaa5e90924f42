#pragma once

#include "platform/fskit/FSUnaryFileSystem.h"
#include "platform/fskit/FSVolume.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
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

/// One operation as it reached the fake volume or file system.
struct RecordedCall {
    RecordedCall(std::string operationIn, std::string nameIn = {})
        : operation(std::move(operationIn)), name(std::move(nameIn)) {}

    std::string operation;
    std::string name;        // the file name the call carried, if any
    std::uint64_t size = 0;  // bytes asked to read or given to write; the new size; the open modes
    std::int64_t offset = 0; // where a read or write starts; the cookie of an enumeration
};

/// Every call made, in order, readable from any thread; tests wait on it with a real-time limit.
class CallLog {
public:
    void record(RecordedCall call);
    std::vector<RecordedCall> calls() const;
    std::vector<RecordedCall> callsOf(std::string_view operation) const;
    std::size_t count(std::string_view operation) const;
    /// The lifecycle calls only (probe, load, activate, mount, unmount, deactivate, unload), in order.
    std::vector<std::string> lifecycle() const;
    void clear();
    /// Blocks until predicate holds for the calls, at most limit of real time; returns whether it did.
    bool waitUntil(const std::function<bool(const std::vector<RecordedCall>&)>& predicate,
                   std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    mutable std::mutex m_mutex; // guards m_calls
    mutable std::condition_variable m_changed;
    std::vector<RecordedCall> m_calls;
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
/// A reply may drop the last reference to the volume that owns the pool, so the pool can be destroyed
/// on one of its own threads: that thread is let go instead of joined, and the state it still reads
/// lives on with it.
class ReplyWorkers {
public:
    explicit ReplyWorkers(std::size_t threads);
    ~ReplyWorkers();
    void post(std::function<void()> task);

private:
    struct Queue {
        std::mutex mutex; // guards tasks, stopping
        std::condition_variable ready;
        std::deque<std::function<void()>> tasks;
        bool stopping = false;
    };
    std::shared_ptr<Queue> m_queue = std::make_shared<Queue>();
    std::vector<std::thread> m_threads;
};

/// An in-memory tree behind every volume operation. Listing positions are cookies: 0 is ".", 1 is "..",
/// 2 + i the i-th child by name; the verifier is a generation raised by every change of the tree. Every
/// call is recorded in the log it was given, and an operation can be made to fail with an errno.
class FakeVolume final : public FSVolume,
                         public FSVolumeOperations,
                         public FSVolumeReadWriteOperations,
                         public FSVolumeOpenCloseOperations {
public:
    enum class ReplyThread { caller, worker };

    FakeVolume(bool readOnly, ReplyThread replyThread, std::shared_ptr<CallLog> log = nullptr);

    void misbehave(const std::string& operation, Misbehaviour misbehaviour);
    /// From now on the operation replies this errno instead of doing anything (0 lifts it).
    void failWith(const std::string& operation, int code);
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
    /// Records the call; replies its injected errno, or what work gives through deliver.
    template <typename... Args, typename Work>
    void serve(RecordedCall call, const Reply<Args...>& reply, Work work);
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
    const std::shared_ptr<CallLog> m_log;

    mutable std::mutex m_lock; // guards the tree, m_items, m_nextID, m_generation, m_misbehaviours,
                               // m_failures, m_held, m_hook; never held while a reply is delivered
    std::map<FSItemID, std::shared_ptr<FakeItem>> m_items; // every item in the tree, by identifier
    FSItemID m_nextID = 3;
    std::uint64_t m_generation = 1;
    std::map<std::string, Misbehaviour> m_misbehaviours;
    std::map<std::string, int> m_failures;
    std::vector<std::function<void()>> m_held;
    std::function<void(FSDirectoryCookie)> m_hook;

    ReplyWorkers m_workers{4}; // last, so it stops before the rest goes
};

/// A unary file system over FakeVolume. It recognises generic URLs "fake://<name>"; "fake://missing"
/// fails to load with ENXIO. "--rdonly" loads a read-only volume. Its calls and its volumes' go to the log.
class FakeFileSystem final : public FSUnaryFileSystem {
public:
    explicit FakeFileSystem(FakeVolume::ReplyThread replyThread = FakeVolume::ReplyThread::caller,
                            std::shared_ptr<CallLog> log = nullptr)
        : m_replyThread(replyThread), m_log(std::move(log)) {}

    void probeResource(std::shared_ptr<FSResource> resource, ProbeReply reply) override;
    void loadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options, LoadReply reply) override;
    void unloadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options,
                        UnloadReply reply) override;
    void didFinishLoading() override { ++m_finishedLoading; }

    int finishedLoadingCount() const { return m_finishedLoading; }

private:
    void record(RecordedCall call) const;

    const FakeVolume::ReplyThread m_replyThread;
    const std::shared_ptr<CallLog> m_log;
    std::atomic<int> m_finishedLoading{0};
};

} // namespace fskit::fake
