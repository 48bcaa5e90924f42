#include "tests/platform/fskit/FakeVolume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace fskit::fake {

namespace {

[[noreturn]] void fail(int code) {
    throw fs_errorForPOSIXError(code);
}

constexpr std::string_view urlPrefix = "fake://";

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

ReplyWorkers::ReplyWorkers(std::size_t threads) {
    for (std::size_t index = 0; index < threads; ++index) {
        m_threads.emplace_back([queue = m_queue] {
            std::unique_lock lock(queue->mutex);
            while (true) {
                queue->ready.wait(lock, [&] { return queue->stopping || !queue->tasks.empty(); });
                if (queue->tasks.empty()) {
                    return;
                }
                auto task = std::move(queue->tasks.front());
                queue->tasks.pop_front();
                lock.unlock();
                task();
                // Destroying the task may destroy this pool: never with the lock held.
                task = nullptr;
                lock.lock();
            }
        });
    }
}

ReplyWorkers::~ReplyWorkers() {
    {
        std::lock_guard guard(m_queue->mutex);
        m_queue->stopping = true;
    }
    m_queue->ready.notify_all();
    for (auto& thread : m_threads) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}

void ReplyWorkers::post(std::function<void()> task) {
    {
        std::lock_guard guard(m_queue->mutex);
        m_queue->tasks.push_back(std::move(task));
    }
    m_queue->ready.notify_one();
}

FakeVolume::FakeVolume(bool readOnly, ReplyThread replyThread, std::shared_ptr<CallLog> log)
    : FSVolume(FSVolumeIdentifier(), FSFileName("Fake")), m_readOnly(readOnly), m_replyThread(replyThread),
      m_root(std::make_shared<FakeItem>(FSItemIDRootDirectory, FSItemIDParentOfRoot, "/",
                                        FSItemType::directory)),
      m_log(std::move(log)) {
    m_items.emplace(m_root->id, m_root);
}

void FakeVolume::misbehave(const std::string& operation, Misbehaviour misbehaviour) {
    std::lock_guard guard(m_lock);
    m_misbehaviours[operation] = misbehaviour;
}

void FakeVolume::failWith(const std::string& operation, int code) {
    std::lock_guard guard(m_lock);
    if (code == 0) {
        m_failures.erase(operation);
    } else {
        m_failures[operation] = code;
    }
}

void FakeVolume::releaseHeldReplies() {
    std::vector<std::function<void()>> held;
    {
        std::lock_guard guard(m_lock);
        held.swap(m_held);
    }
    for (auto& reply : held) {
        reply();
    }
}

void FakeVolume::touch() {
    std::lock_guard guard(m_lock);
    ++m_generation;
}

void FakeVolume::setEnumerationHook(std::function<void(FSDirectoryCookie)> hook) {
    std::lock_guard guard(m_lock);
    m_hook = std::move(hook);
}

Misbehaviour FakeVolume::misbehaviourFor(const std::string& operation) const {
    std::lock_guard guard(m_lock);
    const auto found = m_misbehaviours.find(operation);
    return found == m_misbehaviours.end() ? Misbehaviour::none : found->second;
}

void FakeVolume::schedule(std::function<void()> task) {
    if (m_replyThread == ReplyThread::worker) {
        m_workers.post(std::move(task));
    } else {
        task();
    }
}

template <typename... Args, typename Work>
void FakeVolume::serve(RecordedCall call, const Reply<Args...>& reply, Work work) {
    const std::string operation = call.operation;
    int failure = 0;
    {
        std::lock_guard guard(m_lock);
        if (const auto found = m_failures.find(operation); found != m_failures.end()) {
            failure = found->second;
        }
    }
    if (m_log) {
        m_log->record(std::move(call));
    }
    std::tuple<Args...> arguments;
    // Every reply carries its error last, and its other arguments empty on failure.
    if (failure != 0) {
        std::get<sizeof...(Args) - 1>(arguments) = fs_errorForPOSIXError(failure);
        std::apply(reply, arguments);
        return;
    }
    try {
        arguments = work();
    } catch (const Error& error) {
        std::get<sizeof...(Args) - 1>(arguments) = error;
    }
    deliver(operation, reply, std::move(arguments));
}

template <typename... Args>
void FakeVolume::deliver(const std::string& operation, const Reply<Args...>& reply,
                         std::tuple<Args...> arguments) {
    switch (misbehaviourFor(operation)) {
    case Misbehaviour::replyTwice:
        schedule([reply, arguments] {
            std::apply(reply, arguments);
            std::apply(reply, arguments);
        });
        return;
    case Misbehaviour::neverReply:
        return;
    case Misbehaviour::holdReply: {
        std::lock_guard guard(m_lock);
        m_held.push_back([reply, arguments] { std::apply(reply, arguments); });
        return;
    }
    case Misbehaviour::throwFromEntryPoint:
        throw std::runtime_error("fake volume fault in " + operation);
    case Misbehaviour::successWithoutResult:
        schedule([reply] { std::apply(reply, std::tuple<Args...>{}); });
        return;
    default:
        schedule([reply, arguments] { std::apply(reply, arguments); });
        return;
    }
}

std::shared_ptr<FakeItem> FakeVolume::itemOf(const std::shared_ptr<FSItem>& item) const {
    auto fakeItem = std::dynamic_pointer_cast<FakeItem>(item);
    if (!fakeItem) {
        fail(EINVAL);
    }
    return fakeItem;
}

std::shared_ptr<FakeItem> FakeVolume::directoryOf(const std::shared_ptr<FSItem>& item) const {
    auto directory = itemOf(item);
    if (directory->type != FSItemType::directory) {
        fail(ENOTDIR);
    }
    return directory;
}

void FakeVolume::requireWritable() const {
    if (m_readOnly) {
        fail(EROFS);
    }
}

FSItemAttributes FakeVolume::attributesOf(const FakeItem& item) const {
    FSItemAttributes attributes;
    const bool isDirectory = item.type == FSItemType::directory;
    attributes.setType(item.type);
    attributes.setMode(isDirectory ? 0755 : 0644);
    attributes.setLinkCount(1);
    attributes.setSize(isDirectory ? 0 : item.data.size());
    attributes.setAllocSize((attributes.size() + 4095) / 4096 * 4096);
    attributes.setFileID(item.id);
    attributes.setParentID(item.parentID);
    return attributes;
}

FSVolumeSupportedCapabilities FakeVolume::supportedVolumeCapabilities() const {
    FSVolumeSupportedCapabilities capabilities;
    capabilities.supports64BitObjectIDs = true;
    return capabilities;
}

FSStatFSResult FakeVolume::volumeStatistics() const {
    FSStatFSResult result("fake");
    result.blockSize = 4096;
    result.ioSize = 1 << 20;
    result.totalBlocks = 1000;
    result.freeBlocks = 600;
    result.availableBlocks = 500;
    return result;
}

void FakeVolume::mount(FSTaskOptions, StatusReply reply) {
    serve({"mount"}, reply, [] { return std::tuple<std::optional<Error>>{}; });
}

void FakeVolume::unmount(UnmountReply reply) {
    if (m_log) {
        m_log->record({"unmount"});
    }
    deliver("unmount", reply, {});
}

void FakeVolume::activate(FSTaskOptions, ItemReply reply) {
    serve({"activate"}, reply, [&] {
        return std::tuple{std::shared_ptr<FSItem>(m_root), std::optional<Error>()};
    });
}

void FakeVolume::deactivate(FSDeactivateOptions, StatusReply reply) {
    serve({"deactivate"}, reply, [] { return std::tuple<std::optional<Error>>{}; });
}

void FakeVolume::synchronize(FSSyncFlags, StatusReply reply) {
    serve({"synchronize"}, reply, [] { return std::tuple<std::optional<Error>>{}; });
}

void FakeVolume::getAttributes(FSItemGetAttributesRequest, std::shared_ptr<FSItem> item,
                               AttributesReply reply) {
    serve({"getAttributes"}, reply, [&] {
        std::lock_guard guard(m_lock);
        return std::tuple{std::optional(attributesOf(*itemOf(item))), std::optional<Error>()};
    });
}

void FakeVolume::setAttributes(std::shared_ptr<FSItemSetAttributesRequest> request,
                               std::shared_ptr<FSItem> item, AttributesReply reply) {
    RecordedCall call{"setAttributes"};
    if (request && request->isValid(FSItemAttribute::size)) {
        call.size = request->size();
    }
    serve(call, reply, [&] {
        std::lock_guard guard(m_lock);
        auto target = itemOf(item);
        requireWritable();
        if (request->isValid(FSItemAttribute::size)) {
            if (target->type == FSItemType::directory) {
                fail(EISDIR);
            }
            target->data.resize(request->size());
            request->setConsumedAttributes(request->consumedAttributes() | FSItemAttribute::size);
        }
        return std::tuple{std::optional(attributesOf(*target)), std::optional<Error>()};
    });
}

void FakeVolume::lookupItem(FSFileName name, std::shared_ptr<FSItem> directory, ItemNameReply reply) {
    serve({"lookupItem", std::string(name.data())}, reply, [&] {
        std::lock_guard guard(m_lock);
        auto folder = directoryOf(directory);
        const auto text = name.string();
        if (!text) {
            fail(EINVAL);
        }
        std::shared_ptr<FakeItem> found;
        if (*text == ".") {
            found = folder;
        } else if (*text == "..") {
            const auto parent = m_items.find(folder->parentID);
            if (parent == m_items.end()) {
                fail(ENOENT);
            }
            found = parent->second;
        } else {
            const auto child = folder->children.find(*text);
            if (child == folder->children.end()) {
                fail(ENOENT);
            }
            found = child->second;
        }
        return std::tuple{std::shared_ptr<FSItem>(found), std::optional(FSFileName(found->name)),
                          std::optional<Error>()};
    });
}

void FakeVolume::reclaimItem(std::shared_ptr<FSItem> item, StatusReply reply) {
    const auto fakeItem = std::dynamic_pointer_cast<FakeItem>(item);
    serve({"reclaimItem", fakeItem ? std::to_string(fakeItem->id) : std::string()}, reply,
          [] { return std::tuple<std::optional<Error>>{}; });
}

void FakeVolume::readSymbolicLink(std::shared_ptr<FSItem>, NameReply reply) {
    serve({"readSymbolicLink"}, reply,
          []() -> std::tuple<std::optional<FSFileName>, std::optional<Error>> { fail(EINVAL); });
}

void FakeVolume::createItem(FSFileName name, FSItemType type, std::shared_ptr<FSItem> directory,
                            std::shared_ptr<FSItemSetAttributesRequest>, ItemNameReply reply) {
    const std::string operation = type == FSItemType::directory ? "createItem(directory)" : "createItem";
    serve({operation, std::string(name.data())}, reply, [&] {
        std::lock_guard guard(m_lock);
        auto folder = directoryOf(directory);
        const auto text = name.string();
        if (!text) {
            fail(EINVAL);
        }
        requireWritable();
        if (type != FSItemType::file && type != FSItemType::directory) {
            fail(ENOTSUP);
        }
        if (folder->children.contains(*text)) {
            fail(EEXIST);
        }
        auto item = std::make_shared<FakeItem>(m_nextID++, folder->id, *text, type);
        folder->children.emplace(*text, item);
        m_items.emplace(item->id, item);
        ++m_generation;
        return std::tuple{std::shared_ptr<FSItem>(item), std::optional(name), std::optional<Error>()};
    });
}

void FakeVolume::createSymbolicLink(FSFileName name, std::shared_ptr<FSItem>,
                                    std::shared_ptr<FSItemSetAttributesRequest>, FSFileName,
                                    ItemNameReply reply) {
    serve({"createSymbolicLink", std::string(name.data())}, reply,
          []() -> std::tuple<std::shared_ptr<FSItem>, std::optional<FSFileName>, std::optional<Error>> {
              fail(ENOTSUP);
          });
}

void FakeVolume::createLink(std::shared_ptr<FSItem>, FSFileName name, std::shared_ptr<FSItem>,
                            NameReply reply) {
    serve({"createLink", std::string(name.data())}, reply,
          []() -> std::tuple<std::optional<FSFileName>, std::optional<Error>> { fail(ENOTSUP); });
}

void FakeVolume::removeItem(std::shared_ptr<FSItem> item, FSFileName name, std::shared_ptr<FSItem> directory,
                            StatusReply reply) {
    serve({"removeItem", std::string(name.data())}, reply, [&] {
        std::lock_guard guard(m_lock);
        auto target = itemOf(item);
        auto folder = directoryOf(directory);
        requireWritable();
        if (target == m_root) {
            fail(EPERM);
        }
        if (!target->children.empty()) {
            fail(ENOTEMPTY);
        }
        if (folder->children.erase(target->name) == 0) {
            fail(ENOENT);
        }
        m_items.erase(target->id);
        ++m_generation;
        nameChanged(*folder, target->name);
        return std::tuple<std::optional<Error>>{};
    });
}

void FakeVolume::renameItem(std::shared_ptr<FSItem> item, std::shared_ptr<FSItem> sourceDirectory,
                            FSFileName sourceName, FSFileName destinationName,
                            std::shared_ptr<FSItem> destinationDirectory, std::shared_ptr<FSItem> overItem,
                            NameReply reply) {
    const std::string names = std::string(sourceName.data()) + "->" + std::string(destinationName.data()) +
                              (overItem ? " (replacing)" : "");
    serve({"renameItem", names}, reply, [&] {
        std::lock_guard guard(m_lock);
        auto target = itemOf(item);
        auto source = directoryOf(sourceDirectory);
        auto destination = directoryOf(destinationDirectory);
        const auto text = destinationName.string();
        if (!text) {
            fail(EINVAL);
        }
        requireWritable();
        if (overItem) {
            auto replaced = itemOf(overItem);
            if (!replaced->children.empty()) {
                fail(ENOTEMPTY);
            }
            destination->children.erase(replaced->name);
            m_items.erase(replaced->id);
        }
        source->children.erase(target->name);
        target->name = *text;
        target->parentID = destination->id;
        destination->children[*text] = target;
        ++m_generation;
        return std::tuple{std::optional(destinationName), std::optional<Error>()};
    });
}

void FakeVolume::enumerateDirectory(std::shared_ptr<FSItem> directory, FSDirectoryCookie startingAtCookie,
                                    FSDirectoryVerifier verifier,
                                    std::optional<FSItemGetAttributesRequest> attributes,
                                    std::shared_ptr<FSDirectoryEntryPacker> packer, EnumerateReply reply) {
    std::function<void(FSDirectoryCookie)> hook;
    {
        std::lock_guard guard(m_lock);
        hook = m_hook;
    }
    if (hook) {
        hook(startingAtCookie);
    }
    RecordedCall call{"enumerateDirectory"};
    call.offset = static_cast<std::int64_t>(startingAtCookie);
    call.size = verifier;
    serve(call, reply, [&] {
        std::lock_guard guard(m_lock);
        auto folder = directoryOf(directory);
        std::vector<std::shared_ptr<FakeItem>> children;
        for (auto& [name, child] : folder->children) {
            children.push_back(child);
        }
        for (FSDirectoryCookie position = startingAtCookie; position < children.size() + 2; ++position) {
            const auto& item = position < 2 ? folder : children[position - 2];
            const FSFileName name(position == 0 ? "." : position == 1 ? ".." : item->name);
            const FSItemID id = position == 1 ? folder->parentID : item->id;
            const auto entryAttributes = attributesOf(*item);
            if (!packer->packEntry(name, item->type, id, position + 1,
                                   attributes ? &entryAttributes : nullptr)) {
                break;
            }
        }
        return std::tuple{FSDirectoryVerifier{m_generation}, std::optional<Error>()};
    });
    if (misbehaviourFor("enumerateDirectory") == Misbehaviour::packAfterReply) {
        packer->packEntry(FSFileName("late"), FSItemType::file, 99, 99, nullptr);
    }
}

void FakeVolume::readFromFile(std::shared_ptr<FSItem> item, off_t offset, std::size_t length,
                              std::shared_ptr<FSMutableFileDataBuffer> buffer, ByteCountReply reply) {
    const bool overCount = misbehaviourFor("readFromFile") == Misbehaviour::overCount;
    RecordedCall call{"readFromFile"};
    call.size = length;
    call.offset = offset;
    serve(call, reply, [&] {
        std::lock_guard guard(m_lock);
        auto file = itemOf(item);
        if (file->type == FSItemType::directory) {
            fail(EISDIR);
        }
        if (offset < 0) {
            fail(EINVAL);
        }
        if (overCount) {
            return std::tuple{buffer->length() + 1, std::optional<Error>()};
        }
        const auto start = std::min<std::size_t>(static_cast<std::size_t>(offset), file->data.size());
        const auto count = std::min({length, buffer->length(), file->data.size() - start});
        std::copy_n(file->data.begin() + static_cast<std::ptrdiff_t>(start), count,
                    buffer->mutableBytes().begin());
        return std::tuple{count, std::optional<Error>()};
    });
}

void FakeVolume::writeContents(std::span<const std::byte> contents, std::shared_ptr<FSItem> item,
                               off_t offset, ByteCountReply reply) {
    RecordedCall call{"writeContents"};
    call.size = contents.size();
    call.offset = offset;
    serve(call, reply, [&] {
        std::lock_guard guard(m_lock);
        auto file = itemOf(item);
        requireWritable();
        if (file->type == FSItemType::directory) {
            fail(EISDIR);
        }
        if (offset < 0) {
            fail(EINVAL);
        }
        const auto start = static_cast<std::size_t>(offset);
        if (file->data.size() < start + contents.size()) {
            file->data.resize(start + contents.size());
        }
        std::copy(contents.begin(), contents.end(), file->data.begin() + static_cast<std::ptrdiff_t>(start));
        itemChanged(*file);
        return std::tuple{contents.size(), std::optional<Error>()};
    });
}

void FakeVolume::openItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes, StatusReply reply) {
    RecordedCall call{"openItem"};
    call.size = modes.rawValue();
    serve(call, reply, [&] {
        std::lock_guard guard(m_lock);
        auto target = itemOf(item);
        if (modes.contains(FSVolumeOpenMode::write)) {
            requireWritable();
        }
        ++target->openCount;
        return std::tuple<std::optional<Error>>{};
    });
}

void FakeVolume::closeItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes, StatusReply reply) {
    RecordedCall call{"closeItem"};
    call.size = modes.rawValue();
    serve(call, reply, [&] {
        std::lock_guard guard(m_lock);
        auto target = itemOf(item);
        target->openCount = std::max(target->openCount - 1, 0);
        return std::tuple<std::optional<Error>>{};
    });
}

void FakeFileSystem::record(RecordedCall call) const {
    if (m_log) {
        m_log->record(std::move(call));
    }
}

void FakeFileSystem::probeResource(std::shared_ptr<FSResource> resource, ProbeReply reply) {
    record({"probeResource"});
    const auto* generic = dynamic_cast<const FSGenericURLResource*>(resource.get());
    if (generic == nullptr || !generic->url().starts_with(urlPrefix)) {
        reply(FSProbeResult::notRecognizedProbeResult(), std::nullopt);
        return;
    }
    reply(
        FSProbeResult::usableProbeResult(generic->url().substr(urlPrefix.size()), FSContainerIdentifier({})),
        std::nullopt);
}

void FakeFileSystem::loadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options,
                                  LoadReply reply) {
    record({"loadResource"});
    const auto* generic = dynamic_cast<const FSGenericURLResource*>(resource.get());
    if (generic == nullptr || generic->url() == "fake://missing") {
        auto error = fs_errorForPOSIXError(ENXIO);
        setContainerStatus(FSContainerStatus::blockedWithStatus(error));
        reply(nullptr, error);
        return;
    }
    const auto& given = options.taskOptions();
    const bool readOnly = std::find(given.begin(), given.end(), FSTaskOptions::readOnly) != given.end();
    setContainerStatus(FSContainerStatus::ready());
    reply(std::make_shared<FakeVolume>(readOnly, m_replyThread, m_log), std::nullopt);
}

void FakeFileSystem::unloadResource(std::shared_ptr<FSResource>, FSTaskOptions, UnloadReply reply) {
    record({"unloadResource"});
    reply(std::nullopt);
}

} // namespace fskit::fake
