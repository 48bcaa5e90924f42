#pragma once

#include "platform/foundation/Clock.h"
#include "platform/fskit/Error.h"
#include "platform/fskit/FSUnaryFileSystem.h"
#include "platform/fskit/FSVolume.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fskit {

/// The domain of the errors the host throws when a call goes wrong on the volume's side (no reply in
/// time, a dropped reply); replies themselves carry the volume's own errors.
inline constexpr std::string_view InProcessHostErrorDomain = "fskit.InProcessHost";

enum class HostFaultKind {
    repliedTwice,       // the volume replied again; the extra reply was dropped
    neverReplied,       // the volume let go of the reply without replying
    noReplyWithinLimit, // a wait gave up after the host's real-time limit
    entryPointThrew,    // an exception escaped the volume's or file system's entry point
    replyWithoutResult, // success was replied without the item, name, attributes or volume it must carry
    countBeyondBuffer,  // a read or write replied with more bytes than it was given
    packedAfterReply,   // an enumeration packed an entry after it had replied
    enumerationLoop,    // a listing handed back a cookie it had handed back before
};

struct HostFault {
    std::string operation;
    HostFaultKind kind;
    std::string detail;
};

/// One reply as it reached the host, in arrival order.
struct ReplyRecord {
    std::string operation;
    std::optional<Error> error;
};

/// What every reply carries: the volume's error, or none on success.
struct Outcome {
    std::optional<Error> error;

    bool succeeded() const noexcept { return !error; }
    /// The error's code, 0 on success.
    int errorCode() const noexcept { return error ? error->code() : 0; }
};

struct StatusOutcome : Outcome {};
struct ProbeOutcome : Outcome {
    std::optional<FSProbeResult> result;
};
struct VolumeOutcome : Outcome {
    std::shared_ptr<FSVolume> volume;
};
struct ItemOutcome : Outcome {
    std::shared_ptr<FSItem> item;
    std::optional<FSFileName> name;
};
struct NameOutcome : Outcome {
    std::optional<FSFileName> name;
};
struct AttributesOutcome : Outcome {
    std::optional<FSItemAttributes> attributes;
};
/// A read's or write's count; a read also holds the bytes the volume placed.
struct ByteCountOutcome : Outcome {
    std::size_t count = 0;
    std::vector<std::byte> bytes;
};

struct PackedEntry {
    FSFileName name;
    FSItemType type;
    FSItemID itemID;
    FSDirectoryCookie nextCookie;
    std::optional<FSItemAttributes> attributes;
};

struct EnumerationOutcome : Outcome {
    FSDirectoryVerifier verifier = FSDirectoryVerifierInitial;
    std::vector<PackedEntry> entries;
    /// The volume offered an entry that no longer fitted: the page is full, not the listing's end.
    bool packerFull = false;
    /// enumerateAll only: a page came back with another verifier than the page before it.
    bool verifierChanged = false;
};

namespace detail {

class HostLog;

struct PendingCall {
    explicit PendingCall(std::string operationIn) : operation(std::move(operationIn)) {}
    const std::string operation;
    std::mutex mutex; // guards replied, abandoned and the outcome of PendingCallOf; never held across a
                      // call into the volume
    std::condition_variable_any changed;
    bool replied = false;
    bool abandoned = false;
};

template <typename Result> struct PendingCallOf : PendingCall {
    using PendingCall::PendingCall;
    std::optional<Result> outcome; // set once, under mutex, before replied
};

/// Blocks until the call is replied to; throws Error in InProcessHostErrorDomain when the reply was
/// dropped or did not come within the host's limit.
void waitForReply(HostLog& log, PendingCall& call);

} // namespace detail

/// A call whose reply may still be on its way. Any thread may wait, any number of times.
template <typename Result> class Pending {
public:
    Pending(std::shared_ptr<detail::HostLog> log, std::shared_ptr<detail::PendingCallOf<Result>> call)
        : m_log(std::move(log)), m_call(std::move(call)) {}

    /// Blocks for the reply; throws Error (InProcessHostErrorDomain) instead of hanging when the volume
    /// never replies or takes longer than the host's real-time limit.
    Result wait() const {
        detail::waitForReply(*m_log, *m_call);
        std::lock_guard guard(m_call->mutex);
        return *m_call->outcome;
    }

    bool isReady() const {
        std::lock_guard guard(m_call->mutex);
        return m_call->replied;
    }

private:
    std::shared_ptr<detail::HostLog> m_log;
    std::shared_ptr<detail::PendingCallOf<Result>> m_call;
};

/// Plays the platform for one resource in tests: runs a unary file system through probe, load,
/// activate and mount, lets tests call every volume operation from any number of threads, then
/// unmount, deactivate and unload. It records every reply and every breach of the reply rules.
/// All members may be called from any thread. Volume operations return at once with a Pending; the
/// lifecycle steps and enumerateAll wait for their replies.
class InProcessHost {
public:
    struct Options {
        /// Passed to load, activate and mount, as the mount tool would (FSTaskOptions::readOnly).
        FSTaskOptions taskOptions;
        /// How long, in real time, a wait lasts before it fails instead of hanging.
        std::chrono::milliseconds replyLimit = std::chrono::seconds(20);
        /// The clock of that limit; tests of the limit itself pass a VirtualClock.
        platform::Clock* clock = &platform::Clock::system();
    };

    /// Tells the file system that it finished loading.
    InProcessHost(std::shared_ptr<FSUnaryFileSystem> fileSystem, std::shared_ptr<FSResource> resource,
                  Options options);
    InProcessHost(std::shared_ptr<FSUnaryFileSystem> fileSystem, std::shared_ptr<FSResource> resource);
    InProcessHost(const InProcessHost&) = delete;
    InProcessHost& operator=(const InProcessHost&) = delete;

    // Lifecycle, each step waiting for its reply.
    ProbeOutcome probe();
    /// On success the host keeps the volume for the operations below.
    VolumeOutcome load();
    /// On success the host keeps the root item.
    ItemOutcome activate();
    StatusOutcome mount();
    StatusOutcome unmount();
    StatusOutcome deactivate(FSDeactivateOptions options = {});
    /// Also lets go of the volume.
    StatusOutcome unload();
    /// probe (which must find the resource usable), load, activate, mount; returns the root. Throws the
    /// first error replied.
    std::shared_ptr<FSItem> start();
    /// unmount, deactivate, unload; throws the first error replied.
    void stop();

    std::shared_ptr<FSUnaryFileSystem> fileSystem() const { return m_fileSystem; }
    /// The loaded volume and its root; null before load and activate.
    std::shared_ptr<FSVolume> volume() const;
    std::shared_ptr<FSItem> root() const;
    /// The loaded volume's operations (statistics, capabilities, path configuration); throws when none.
    std::shared_ptr<FSVolumeOperations> operations() const;

    // Volume operations: names are byte strings, passed on as FSFileName.
    [[nodiscard]] Pending<StatusOutcome> synchronize(FSSyncFlags flags = FSSyncFlags::wait);
    [[nodiscard]] Pending<AttributesOutcome> getAttributes(std::shared_ptr<FSItem> item,
                                                           FSItemGetAttributesRequest desired = {});
    /// The request's consumed attributes can be read once the reply is in.
    [[nodiscard]] Pending<AttributesOutcome>
    setAttributes(std::shared_ptr<FSItem> item, std::shared_ptr<FSItemSetAttributesRequest> request);
    [[nodiscard]] Pending<ItemOutcome> lookupItem(std::shared_ptr<FSItem> directory, std::string_view name);
    [[nodiscard]] Pending<StatusOutcome> reclaimItem(std::shared_ptr<FSItem> item);
    [[nodiscard]] Pending<NameOutcome> readSymbolicLink(std::shared_ptr<FSItem> item);
    /// attributes may be null: the host then passes an empty request.
    [[nodiscard]] Pending<ItemOutcome>
    createItem(std::shared_ptr<FSItem> directory, std::string_view name, FSItemType type,
               std::shared_ptr<FSItemSetAttributesRequest> attributes = {});
    [[nodiscard]] Pending<ItemOutcome> createSymbolicLink(std::shared_ptr<FSItem> directory,
                                                          std::string_view name, std::string_view contents);
    [[nodiscard]] Pending<NameOutcome> createLink(std::shared_ptr<FSItem> item,
                                                  std::shared_ptr<FSItem> directory, std::string_view name);
    [[nodiscard]] Pending<StatusOutcome> removeItem(std::shared_ptr<FSItem> item,
                                                    std::shared_ptr<FSItem> directory, std::string_view name);
    [[nodiscard]] Pending<NameOutcome>
    renameItem(std::shared_ptr<FSItem> item, std::shared_ptr<FSItem> sourceDirectory,
               std::string_view sourceName, std::shared_ptr<FSItem> destinationDirectory,
               std::string_view destinationName, std::shared_ptr<FSItem> overItem = {});
    /// One page of at most capacity entries.
    [[nodiscard]] Pending<EnumerationOutcome>
    enumerateDirectory(std::shared_ptr<FSItem> directory, FSDirectoryCookie cookie,
                       FSDirectoryVerifier verifier, std::optional<FSItemGetAttributesRequest> attributes,
                       std::size_t capacity);
    /// Pages through the whole listing as the kernel does: each page starts at the last entry's next
    /// cookie with the verifier of the page before, until a page comes back empty or with an error.
    EnumerationOutcome enumerateAll(std::shared_ptr<FSItem> directory,
                                    std::optional<FSItemGetAttributesRequest> attributes,
                                    std::size_t pageCapacity);
    /// A volume without open-close operations has every open and close succeed, without a call.
    [[nodiscard]] Pending<StatusOutcome> openItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes);
    [[nodiscard]] Pending<StatusOutcome> closeItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes);
    /// The outcome's bytes are the first count bytes of a buffer of length bytes.
    [[nodiscard]] Pending<ByteCountOutcome> readFromFile(std::shared_ptr<FSItem> item, off_t offset,
                                                         std::size_t length);
    [[nodiscard]] Pending<ByteCountOutcome> writeContents(std::shared_ptr<FSItem> item, off_t offset,
                                                          std::span<const std::byte> contents);

    // The record.
    std::vector<ReplyRecord> replies() const;
    std::vector<HostFault> faults() const;
    /// Calls made whose reply has not come yet (and was not dropped).
    std::size_t outstandingReplies() const;

private:
    /// Makes the reply, hands it to invoke and returns the pending call. convert turns the reply's
    /// arguments into the outcome and checks them.
    template <typename ReplyType, typename Result, typename Convert, typename Invoke>
    Pending<Result> call(const std::string& operation, Convert convert, Invoke invoke);

    std::shared_ptr<FSVolumeOperations> requireOperations() const;
    std::shared_ptr<FSVolumeReadWriteOperations> requireReadWrite() const;
    std::shared_ptr<FSVolumeOpenCloseOperations> openClose() const;

    const std::shared_ptr<FSUnaryFileSystem> m_fileSystem;
    const std::shared_ptr<FSResource> m_resource;
    const FSTaskOptions m_taskOptions;
    const std::shared_ptr<detail::HostLog> m_log;

    mutable std::mutex m_state; // guards m_volume, m_root; held only to copy them, never across a call
    std::shared_ptr<FSVolume> m_volume;
    std::shared_ptr<FSItem> m_root;
};

} // namespace fskit
