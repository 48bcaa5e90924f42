#include "tests/platform/fuse/RecordingVolume.h"

#include "platform/fskit/Error.h"

#include <algorithm>
#include <tuple>

namespace fusehost::testing {

namespace {

/// Replies the error with every other argument empty, as a volume does on failure.
template <typename... Args> void replyError(const fskit::Reply<Args...>& reply, int code) {
    std::tuple<Args...> arguments{};
    std::get<sizeof...(Args) - 1>(arguments) = fskit::fs_errorForPOSIXError(code);
    std::apply(reply, arguments);
}

const std::vector<std::string> lifecycleOperations = {
    "probeResource", "loadResource", "activate", "mount", "unmount", "deactivate", "unloadResource"};

} // namespace

void CallLog::record(RecordedCall call) {
    {
        std::lock_guard guard(m_mutex);
        m_calls.push_back(std::move(call));
    }
    m_changed.notify_all();
}

std::vector<RecordedCall> CallLog::calls() const {
    std::lock_guard guard(m_mutex);
    return m_calls;
}

std::vector<RecordedCall> CallLog::callsOf(std::string_view operation) const {
    std::lock_guard guard(m_mutex);
    std::vector<RecordedCall> found;
    std::copy_if(m_calls.begin(), m_calls.end(), std::back_inserter(found),
                 [&](const RecordedCall& call) { return call.operation == operation; });
    return found;
}

std::size_t CallLog::count(std::string_view operation) const {
    return callsOf(operation).size();
}

std::vector<std::string> CallLog::lifecycle() const {
    std::lock_guard guard(m_mutex);
    std::vector<std::string> found;
    for (const auto& call : m_calls) {
        if (std::find(lifecycleOperations.begin(), lifecycleOperations.end(), call.operation) !=
            lifecycleOperations.end()) {
            found.push_back(call.operation);
        }
    }
    return found;
}

void CallLog::clear() {
    std::lock_guard guard(m_mutex);
    m_calls.clear();
}

bool CallLog::waitUntil(const std::function<bool(const std::vector<RecordedCall>&)>& predicate,
                        std::chrono::milliseconds limit) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, [&] { return predicate(m_calls); });
}

RecordingVolume::RecordingVolume(std::shared_ptr<fskit::FSVolume> inner, std::shared_ptr<CallLog> log)
    : fskit::FSVolume(inner->volumeID(), inner->name()), m_inner(std::move(inner)),
      m_fake(dynamic_cast<fskit::fake::FakeVolume*>(m_inner.get())), m_log(std::move(log)) {}

void RecordingVolume::failWith(const std::string& operation, int code) {
    std::lock_guard guard(m_mutex);
    if (code == 0) {
        m_failures.erase(operation);
    } else {
        m_failures[operation] = code;
    }
}

int RecordingVolume::record(RecordedCall call) {
    int code = 0;
    {
        std::lock_guard guard(m_mutex);
        const auto found = m_failures.find(call.operation);
        code = found == m_failures.end() ? 0 : found->second;
    }
    m_log->record(std::move(call));
    return code;
}

fskit::FSVolumeSupportedCapabilities RecordingVolume::supportedVolumeCapabilities() const {
    return m_fake->supportedVolumeCapabilities();
}

fskit::FSStatFSResult RecordingVolume::volumeStatistics() const {
    auto statistics = m_fake->volumeStatistics();
    statistics.ioSize = 1 << 20;
    statistics.totalBlocks = 1000;
    statistics.freeBlocks = 600;
    statistics.availableBlocks = 500;
    return statistics;
}

void RecordingVolume::mount(fskit::FSTaskOptions options, fskit::StatusReply reply) {
    if (const int code = record({"mount"})) {
        return replyError(reply, code);
    }
    m_fake->mount(std::move(options), reply);
}

void RecordingVolume::unmount(fskit::UnmountReply reply) {
    record({"unmount"});
    m_fake->unmount(reply);
}

void RecordingVolume::activate(fskit::FSTaskOptions options, fskit::ItemReply reply) {
    if (const int code = record({"activate"})) {
        return replyError(reply, code);
    }
    m_fake->activate(std::move(options), reply);
}

void RecordingVolume::deactivate(fskit::FSDeactivateOptions options, fskit::StatusReply reply) {
    if (const int code = record({"deactivate"})) {
        return replyError(reply, code);
    }
    m_fake->deactivate(options, reply);
}

void RecordingVolume::synchronize(fskit::FSSyncFlags flags, fskit::StatusReply reply) {
    if (const int code = record({"synchronize"})) {
        return replyError(reply, code);
    }
    m_fake->synchronize(flags, reply);
}

void RecordingVolume::getAttributes(fskit::FSItemGetAttributesRequest desired,
                                    std::shared_ptr<fskit::FSItem> item, fskit::AttributesReply reply) {
    if (const int code = record({"getAttributes"})) {
        return replyError(reply, code);
    }
    m_fake->getAttributes(desired, std::move(item), reply);
}

void RecordingVolume::setAttributes(std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                                    std::shared_ptr<fskit::FSItem> item, fskit::AttributesReply reply) {
    RecordedCall call{"setAttributes"};
    if (newAttributes->isValid(fskit::FSItemAttribute::size)) {
        call.size = newAttributes->size();
    }
    if (const int code = record(call)) {
        return replyError(reply, code);
    }
    m_fake->setAttributes(std::move(newAttributes), std::move(item), reply);
}

void RecordingVolume::lookupItem(fskit::FSFileName name, std::shared_ptr<fskit::FSItem> directory,
                                 fskit::ItemNameReply reply) {
    if (const int code = record({"lookupItem", std::string(name.data())})) {
        return replyError(reply, code);
    }
    m_fake->lookupItem(std::move(name), std::move(directory), reply);
}

void RecordingVolume::reclaimItem(std::shared_ptr<fskit::FSItem> item, fskit::StatusReply reply) {
    std::string name;
    if (auto fakeItem = std::dynamic_pointer_cast<fskit::fake::FakeItem>(item)) {
        name = std::to_string(fakeItem->id);
    }
    if (const int code = record({"reclaimItem", name})) {
        return replyError(reply, code);
    }
    m_fake->reclaimItem(std::move(item), reply);
}

void RecordingVolume::readSymbolicLink(std::shared_ptr<fskit::FSItem> item, fskit::NameReply reply) {
    if (const int code = record({"readSymbolicLink"})) {
        return replyError(reply, code);
    }
    m_fake->readSymbolicLink(std::move(item), reply);
}

void RecordingVolume::createItem(fskit::FSFileName name, fskit::FSItemType type,
                                 std::shared_ptr<fskit::FSItem> directory,
                                 std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                                 fskit::ItemNameReply reply) {
    const std::string operation =
        type == fskit::FSItemType::directory ? "createItem(directory)" : "createItem";
    if (const int code = record({operation, std::string(name.data())})) {
        return replyError(reply, code);
    }
    m_fake->createItem(std::move(name), type, std::move(directory), std::move(newAttributes), reply);
}

void RecordingVolume::createSymbolicLink(fskit::FSFileName name, std::shared_ptr<fskit::FSItem> directory,
                                         std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
                                         fskit::FSFileName linkContents, fskit::ItemNameReply reply) {
    if (const int code = record({"createSymbolicLink", std::string(name.data())})) {
        return replyError(reply, code);
    }
    m_fake->createSymbolicLink(std::move(name), std::move(directory), std::move(newAttributes),
                               std::move(linkContents), reply);
}

void RecordingVolume::createLink(std::shared_ptr<fskit::FSItem> item, fskit::FSFileName name,
                                 std::shared_ptr<fskit::FSItem> directory, fskit::NameReply reply) {
    if (const int code = record({"createLink", std::string(name.data())})) {
        return replyError(reply, code);
    }
    m_fake->createLink(std::move(item), std::move(name), std::move(directory), reply);
}

void RecordingVolume::removeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSFileName name,
                                 std::shared_ptr<fskit::FSItem> directory, fskit::StatusReply reply) {
    if (const int code = record({"removeItem", std::string(name.data())})) {
        return replyError(reply, code);
    }
    m_fake->removeItem(std::move(item), std::move(name), std::move(directory), reply);
}

void RecordingVolume::renameItem(std::shared_ptr<fskit::FSItem> item,
                                 std::shared_ptr<fskit::FSItem> sourceDirectory, fskit::FSFileName sourceName,
                                 fskit::FSFileName destinationName,
                                 std::shared_ptr<fskit::FSItem> destinationDirectory,
                                 std::shared_ptr<fskit::FSItem> overItem, fskit::NameReply reply) {
    const std::string names = std::string(sourceName.data()) + "->" + std::string(destinationName.data()) +
                              (overItem ? " (replacing)" : "");
    if (const int code = record({"renameItem", names})) {
        return replyError(reply, code);
    }
    m_fake->renameItem(std::move(item), std::move(sourceDirectory), std::move(sourceName),
                       std::move(destinationName), std::move(destinationDirectory), std::move(overItem),
                       reply);
}

void RecordingVolume::enumerateDirectory(std::shared_ptr<fskit::FSItem> directory,
                                         fskit::FSDirectoryCookie startingAtCookie,
                                         fskit::FSDirectoryVerifier verifier,
                                         std::optional<fskit::FSItemGetAttributesRequest> attributes,
                                         std::shared_ptr<fskit::FSDirectoryEntryPacker> packer,
                                         fskit::EnumerateReply reply) {
    RecordedCall call{"enumerateDirectory"};
    call.offset = static_cast<std::int64_t>(startingAtCookie);
    call.size = verifier;
    if (const int code = record(call)) {
        return replyError(reply, code);
    }
    m_fake->enumerateDirectory(std::move(directory), startingAtCookie, verifier, std::move(attributes),
                               std::move(packer), reply);
}

void RecordingVolume::readFromFile(std::shared_ptr<fskit::FSItem> item, off_t offset, std::size_t length,
                                   std::shared_ptr<fskit::FSMutableFileDataBuffer> buffer,
                                   fskit::ByteCountReply reply) {
    RecordedCall call{"readFromFile"};
    call.size = length;
    call.offset = offset;
    if (const int code = record(call)) {
        return replyError(reply, code);
    }
    m_fake->readFromFile(std::move(item), offset, length, std::move(buffer), reply);
}

void RecordingVolume::writeContents(std::span<const std::byte> contents, std::shared_ptr<fskit::FSItem> item,
                                    off_t offset, fskit::ByteCountReply reply) {
    RecordedCall call{"writeContents"};
    call.size = contents.size();
    call.offset = offset;
    if (const int code = record(call)) {
        return replyError(reply, code);
    }
    m_fake->writeContents(contents, std::move(item), offset, reply);
}

void RecordingVolume::openItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes modes,
                               fskit::StatusReply reply) {
    RecordedCall call{"openItem"};
    call.size = modes.rawValue();
    if (const int code = record(call)) {
        return replyError(reply, code);
    }
    m_fake->openItem(std::move(item), modes, reply);
}

void RecordingVolume::closeItem(std::shared_ptr<fskit::FSItem> item, fskit::FSVolumeOpenModes modes,
                                fskit::StatusReply reply) {
    RecordedCall call{"closeItem"};
    call.size = modes.rawValue();
    if (const int code = record(call)) {
        return replyError(reply, code);
    }
    m_fake->closeItem(std::move(item), modes, reply);
}

RecordingFileSystem::RecordingFileSystem(std::shared_ptr<CallLog> log,
                                         fskit::fake::FakeVolume::ReplyThread replyThread)
    : m_log(std::move(log)), m_inner(std::make_shared<fskit::fake::FakeFileSystem>(replyThread)) {}

void RecordingFileSystem::probeResource(std::shared_ptr<fskit::FSResource> resource,
                                        fskit::ProbeReply reply) {
    m_log->record({"probeResource"});
    m_inner->probeResource(std::move(resource), reply);
}

void RecordingFileSystem::loadResource(std::shared_ptr<fskit::FSResource> resource,
                                       fskit::FSTaskOptions options, fskit::LoadReply reply) {
    m_log->record({"loadResource"});
    m_inner->loadResource(
        std::move(resource), std::move(options),
        fskit::LoadReply("loadResource", [reply, log = m_log](std::shared_ptr<fskit::FSVolume> volume,
                                                              std::optional<fskit::Error> error) {
            if (volume) {
                volume = std::make_shared<RecordingVolume>(volume, log);
            }
            reply(std::move(volume), std::move(error));
        }));
}

void RecordingFileSystem::unloadResource(std::shared_ptr<fskit::FSResource> resource,
                                         fskit::FSTaskOptions options, fskit::UnloadReply reply) {
    m_log->record({"unloadResource"});
    m_inner->unloadResource(std::move(resource), std::move(options), reply);
}

} // namespace fusehost::testing
