#pragma once

#include "platform/fskit/FSUnaryFileSystem.h"
#include "platform/fskit/FSVolume.h"
#include "tests/platform/fskit/FakeVolume.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace fusehost::testing {

/// One operation as it reached the volume or file system.
struct RecordedCall {
    RecordedCall(std::string operationIn, std::string nameIn = {})
        : operation(std::move(operationIn)), name(std::move(nameIn)) {}

    std::string operation;
    std::string name;        // the file name the call carried, if any
    std::uint64_t size = 0;  // bytes asked to read or given to write
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

/// A FakeVolume behind a recorder: every operation is logged and passed on, or refused with an injected
/// error instead.
class RecordingVolume final : public fskit::FSVolume,
                              public fskit::FSVolumeOperations,
                              public fskit::FSVolumeReadWriteOperations,
                              public fskit::FSVolumeOpenCloseOperations {
public:
    RecordingVolume(std::shared_ptr<fskit::FSVolume> inner, std::shared_ptr<CallLog> log);

    fskit::fake::FakeVolume& fake() const { return *m_fake; }
    /// From now on the operation replies this errno instead of reaching the fake (0 lifts it).
    void failWith(const std::string& operation, int code);

    std::uint32_t maximumLinkCount() const override { return m_fake->maximumLinkCount(); }
    std::uint32_t maximumNameLength() const override { return m_fake->maximumNameLength(); }
    bool restrictsOwnershipChanges() const override { return m_fake->restrictsOwnershipChanges(); }
    bool truncatesLongNames() const override { return m_fake->truncatesLongNames(); }
    std::uint64_t maximumFileSize() const override { return m_fake->maximumFileSize(); }
    fskit::FSVolumeSupportedCapabilities supportedVolumeCapabilities() const override;
    fskit::FSStatFSResult volumeStatistics() const override;
    void mount(fskit::FSTaskOptions options, fskit::StatusReply reply) override;
    void unmount(fskit::UnmountReply reply) override;
    void activate(fskit::FSTaskOptions options, fskit::ItemReply reply) override;
    void deactivate(fskit::FSDeactivateOptions options, fskit::StatusReply reply) override;
    void synchronize(fskit::FSSyncFlags flags, fskit::StatusReply reply) override;
    void getAttributes(fskit::FSItemGetAttributesRequest desired, std::shared_ptr<fskit::FSItem> item,
                       fskit::AttributesReply reply) override;
    void setAttributes(std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                       std::shared_ptr<fskit::FSItem> item, fskit::AttributesReply reply) override;
    void lookupItem(fskit::FSFileName name, std::shared_ptr<fskit::FSItem> directory,
                    fskit::ItemNameReply reply) override;
    void reclaimItem(std::shared_ptr<fskit::FSItem> item, fskit::StatusReply reply) override;
    void readSymbolicLink(std::shared_ptr<fskit::FSItem> item, fskit::NameReply reply) override;
    void createItem(fskit::FSFileName name, fskit::FSItemType type, std::shared_ptr<fskit::FSItem> directory,
                    std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                    fskit::ItemNameReply reply) override;
    void createSymbolicLink(fskit::FSFileName name, std::shared_ptr<fskit::FSItem> directory,
                            std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                            fskit::FSFileName linkContents, fskit::ItemNameReply reply) override;
    void createLink(std::shared_ptr<fskit::FSItem> item, fskit::FSFileName name,
                    std::shared_ptr<fskit::FSItem> directory, fskit::NameReply reply) override;
    void removeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSFileName name,
                    std::shared_ptr<fskit::FSItem> directory, fskit::StatusReply reply) override;
    void renameItem(std::shared_ptr<fskit::FSItem> item, std::shared_ptr<fskit::FSItem> sourceDirectory,
                    fskit::FSFileName sourceName, fskit::FSFileName destinationName,
                    std::shared_ptr<fskit::FSItem> destinationDirectory,
                    std::shared_ptr<fskit::FSItem> overItem, fskit::NameReply reply) override;
    void enumerateDirectory(std::shared_ptr<fskit::FSItem> directory,
                            fskit::FSDirectoryCookie startingAtCookie, fskit::FSDirectoryVerifier verifier,
                            std::optional<fskit::FSItemGetAttributesRequest> attributes,
                            std::shared_ptr<fskit::FSDirectoryEntryPacker> packer,
                            fskit::EnumerateReply reply) override;
    void readFromFile(std::shared_ptr<fskit::FSItem> item, off_t offset, std::size_t length,
                      std::shared_ptr<fskit::FSMutableFileDataBuffer> buffer,
                      fskit::ByteCountReply reply) override;
    void writeContents(std::span<const std::byte> contents, std::shared_ptr<fskit::FSItem> item, off_t offset,
                       fskit::ByteCountReply reply) override;
    void openItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes modes,
                  fskit::StatusReply reply) override;
    void closeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes modes,
                   fskit::StatusReply reply) override;

private:
    /// Records the call; returns the injected errno for it, or 0.
    int record(RecordedCall call);

    const std::shared_ptr<fskit::FSVolume> m_inner;
    fskit::fake::FakeVolume* const m_fake;
    const std::shared_ptr<CallLog> m_log;
    mutable std::mutex m_mutex; // guards m_failures
    std::map<std::string, int> m_failures;
};

/// FakeFileSystem whose volumes are RecordingVolumes, with the file system's own calls in the same log.
class RecordingFileSystem final : public fskit::FSUnaryFileSystem {
public:
    RecordingFileSystem(std::shared_ptr<CallLog> log, fskit::fake::FakeVolume::ReplyThread replyThread);

    void probeResource(std::shared_ptr<fskit::FSResource> resource, fskit::ProbeReply reply) override;
    void loadResource(std::shared_ptr<fskit::FSResource> resource, fskit::FSTaskOptions options,
                      fskit::LoadReply reply) override;
    void unloadResource(std::shared_ptr<fskit::FSResource> resource, fskit::FSTaskOptions options,
                        fskit::UnloadReply reply) override;

private:
    const std::shared_ptr<CallLog> m_log;
    const std::shared_ptr<fskit::fake::FakeFileSystem> m_inner;
};

} // namespace fusehost::testing
