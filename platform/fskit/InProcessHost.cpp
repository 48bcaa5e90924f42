#include "platform/fskit/InProcessHost.h"

#include "platform/fskit/HostLog.h"

#include <cerrno>
#include <set>
#include <utility>

namespace fskit {

namespace {

using detail::HostLog;

Error hostError(int code, std::string description) {
    return Error(std::string(InProcessHostErrorDomain), code, std::move(description));
}

/// The packer of one enumeration page: takes entries up to its capacity, and none once the page has
/// been replied to.
class CollectingPacker final : public FSDirectoryEntryPacker {
public:
    CollectingPacker(std::size_t capacity, std::shared_ptr<HostLog> log, std::string operation)
        : m_capacity(capacity), m_log(std::move(log)), m_operation(std::move(operation)) {}

    bool packEntry(const FSFileName& name, FSItemType itemType, FSItemID itemID, FSDirectoryCookie nextCookie,
                   const FSItemAttributes* attributes) override {
        std::lock_guard guard(m_mutex);
        if (m_closed) {
            m_log->recordFault(m_operation, HostFaultKind::packedAfterReply, std::string(name.data()));
            return false;
        }
        if (m_entries.size() >= m_capacity) {
            m_full = true;
            return false;
        }
        std::optional<FSItemAttributes> copied;
        if (attributes != nullptr) {
            copied = *attributes;
        }
        m_entries.push_back(PackedEntry{name, itemType, itemID, nextCookie, std::move(copied)});
        return true;
    }

    /// Ends the page and hands over what it holds.
    void close(EnumerationOutcome& outcome) {
        std::lock_guard guard(m_mutex);
        m_closed = true;
        outcome.entries = std::move(m_entries);
        outcome.packerFull = m_full;
    }

private:
    const std::size_t m_capacity;
    const std::shared_ptr<HostLog> m_log;
    const std::string m_operation;
    std::mutex m_mutex; // guards the fields below; taken before the log's lock
    std::vector<PackedEntry> m_entries;
    bool m_full = false;
    bool m_closed = false;
};

template <typename Result>
void requireResult(HostLog& log, const std::string& operation, const Result& outcome, bool present,
                   const char* what) {
    if (!outcome.error && !present) {
        log.recordFault(operation, HostFaultKind::replyWithoutResult, std::string("success without ") + what);
    }
}

ItemOutcome itemOutcome(HostLog& log, const std::string& operation, std::shared_ptr<FSItem> item,
                        std::optional<FSFileName> name, std::optional<Error> error) {
    ItemOutcome outcome;
    outcome.error = std::move(error);
    outcome.item = std::move(item);
    outcome.name = std::move(name);
    requireResult(log, operation, outcome, outcome.item && outcome.name, "an item and its name");
    return outcome;
}

NameOutcome nameOutcome(HostLog& log, const std::string& operation, std::optional<FSFileName> name,
                        std::optional<Error> error) {
    NameOutcome outcome;
    outcome.error = std::move(error);
    outcome.name = std::move(name);
    requireResult(log, operation, outcome, outcome.name.has_value(), "a name");
    return outcome;
}

AttributesOutcome attributesOutcome(HostLog& log, const std::string& operation,
                                    std::optional<FSItemAttributes> attributes, std::optional<Error> error) {
    AttributesOutcome outcome;
    outcome.error = std::move(error);
    outcome.attributes = std::move(attributes);
    requireResult(log, operation, outcome, outcome.attributes.has_value(), "attributes");
    return outcome;
}

StatusOutcome statusOutcome(HostLog&, const std::string&, std::optional<Error> error) {
    StatusOutcome outcome;
    outcome.error = std::move(error);
    return outcome;
}

} // namespace

template <typename ReplyType, typename Result, typename Convert, typename Invoke>
Pending<Result> InProcessHost::call(const std::string& operation, Convert convert, Invoke invoke) {
    auto pendingCall = std::make_shared<detail::PendingCallOf<Result>>(operation);
    m_log->callStarted();
    {
        ReplyType reply(
            operation,
            [log = m_log, pendingCall, convert = std::move(convert)](auto... arguments) {
                Result outcome = convert(*log, pendingCall->operation, std::move(arguments)...);
                log->recordReply(pendingCall->operation, outcome.error);
                {
                    std::lock_guard guard(pendingCall->mutex);
                    pendingCall->outcome = std::move(outcome);
                    pendingCall->replied = true;
                }
                pendingCall->changed.notify_all();
            },
            [log = m_log, pendingCall](const ReplyFault& fault) {
                if (fault.kind == ReplyFaultKind::repliedTwice) {
                    log->recordFault(fault.operation, HostFaultKind::repliedTwice,
                                     "the extra reply was dropped");
                    return;
                }
                log->recordDropped(fault.operation);
                {
                    std::lock_guard guard(pendingCall->mutex);
                    pendingCall->abandoned = true;
                }
                pendingCall->changed.notify_all();
            });
        try {
            invoke(reply);
        } catch (const std::exception& error) {
            m_log->recordFault(operation, HostFaultKind::entryPointThrew, error.what());
        } catch (...) {
            m_log->recordFault(operation, HostFaultKind::entryPointThrew, "an exception of unknown type");
        }
    } // The host's own copy of the reply ends here, so a volume that lets go of its copy is noticed at once.
    return Pending<Result>(m_log, std::move(pendingCall));
}

InProcessHost::InProcessHost(std::shared_ptr<FSUnaryFileSystem> fileSystem,
                             std::shared_ptr<FSResource> resource, Options options)
    : m_fileSystem(std::move(fileSystem)), m_resource(std::move(resource)),
      m_taskOptions(std::move(options.taskOptions)),
      m_log(std::make_shared<HostLog>(*options.clock, options.replyLimit)) {
    m_fileSystem->didFinishLoading();
}

InProcessHost::InProcessHost(std::shared_ptr<FSUnaryFileSystem> fileSystem,
                             std::shared_ptr<FSResource> resource)
    : InProcessHost(std::move(fileSystem), std::move(resource), Options{}) {}

ProbeOutcome InProcessHost::probe() {
    return call<ProbeReply, ProbeOutcome>(
               "probeResource",
               [](HostLog& log, const std::string& operation, std::optional<FSProbeResult> result,
                  std::optional<Error> error) {
                   ProbeOutcome outcome;
                   outcome.error = std::move(error);
                   outcome.result = std::move(result);
                   requireResult(log, operation, outcome, outcome.result.has_value(), "a probe result");
                   return outcome;
               },
               [&](const ProbeReply& reply) { m_fileSystem->probeResource(m_resource, reply); })
        .wait();
}

VolumeOutcome InProcessHost::load() {
    auto outcome =
        call<LoadReply, VolumeOutcome>(
            "loadResource",
            [](HostLog& log, const std::string& operation, std::shared_ptr<FSVolume> volume,
               std::optional<Error> error) {
                VolumeOutcome result;
                result.error = std::move(error);
                result.volume = std::move(volume);
                requireResult(log, operation, result, result.volume != nullptr, "a volume");
                if (result.volume && !dynamic_cast<FSVolumeOperations*>(result.volume.get())) {
                    log.recordFault(operation, HostFaultKind::replyWithoutResult,
                                    "the volume implements no volume operations");
                }
                return result;
            },
            [&](const LoadReply& reply) { m_fileSystem->loadResource(m_resource, m_taskOptions, reply); })
            .wait();
    if (outcome.succeeded() && outcome.volume) {
        std::lock_guard guard(m_state);
        m_volume = outcome.volume;
        m_root.reset();
    }
    return outcome;
}

ItemOutcome InProcessHost::activate() {
    auto operations = requireOperations();
    auto outcome = call<ItemReply, ItemOutcome>(
                       "activate",
                       [](HostLog& log, const std::string& operation, std::shared_ptr<FSItem> root,
                          std::optional<Error> error) {
                           ItemOutcome result;
                           result.error = std::move(error);
                           result.item = std::move(root);
                           requireResult(log, operation, result, result.item != nullptr, "the root item");
                           return result;
                       },
                       [&](const ItemReply& reply) { operations->activate(m_taskOptions, reply); })
                       .wait();
    if (outcome.succeeded() && outcome.item) {
        std::lock_guard guard(m_state);
        m_root = outcome.item;
    }
    return outcome;
}

StatusOutcome InProcessHost::mount() {
    auto operations = requireOperations();
    return call<StatusReply, StatusOutcome>(
               "mount", statusOutcome,
               [&](const StatusReply& reply) { operations->mount(m_taskOptions, reply); })
        .wait();
}

StatusOutcome InProcessHost::unmount() {
    auto operations = requireOperations();
    return call<UnmountReply, StatusOutcome>(
               "unmount", [](HostLog&, const std::string&) { return StatusOutcome{}; },
               [&](const UnmountReply& reply) { operations->unmount(reply); })
        .wait();
}

StatusOutcome InProcessHost::deactivate(FSDeactivateOptions options) {
    auto operations = requireOperations();
    return call<StatusReply, StatusOutcome>(
               "deactivate", statusOutcome,
               [&](const StatusReply& reply) { operations->deactivate(options, reply); })
        .wait();
}

StatusOutcome InProcessHost::unload() {
    auto outcome =
        call<UnloadReply, StatusOutcome>("unloadResource", statusOutcome, [&](const UnloadReply& reply) {
            m_fileSystem->unloadResource(m_resource, m_taskOptions, reply);
        }).wait();
    std::lock_guard guard(m_state);
    m_volume.reset();
    m_root.reset();
    return outcome;
}

std::shared_ptr<FSItem> InProcessHost::start() {
    auto probed = probe();
    if (probed.error) {
        throw *probed.error;
    }
    if (!probed.result || probed.result->result() != FSProbeResult::Result::usable) {
        throw hostError(ENODEV, "probeResource: the file system does not recognise the resource");
    }
    if (auto loaded = load(); loaded.error) {
        throw *loaded.error;
    }
    auto activated = activate();
    if (activated.error) {
        throw *activated.error;
    }
    if (auto mounted = mount(); mounted.error) {
        throw *mounted.error;
    }
    return activated.item;
}

void InProcessHost::stop() {
    // Every step runs even after a failed one, as the platform tears a volume down regardless.
    auto unmounted = unmount();
    auto deactivated = deactivate();
    auto unloaded = unload();
    for (const auto* outcome : {&unmounted, &deactivated, &unloaded}) {
        if (outcome->error) {
            throw *outcome->error;
        }
    }
}

std::shared_ptr<FSVolume> InProcessHost::volume() const {
    std::lock_guard guard(m_state);
    return m_volume;
}

std::shared_ptr<FSItem> InProcessHost::root() const {
    std::lock_guard guard(m_state);
    return m_root;
}

std::shared_ptr<FSVolumeOperations> InProcessHost::operations() const {
    return requireOperations();
}

std::shared_ptr<FSVolumeOperations> InProcessHost::requireOperations() const {
    auto loaded = volume();
    auto* operations = dynamic_cast<FSVolumeOperations*>(loaded.get());
    if (operations == nullptr) {
        throw hostError(ENXIO, "no volume with volume operations is loaded");
    }
    return std::shared_ptr<FSVolumeOperations>(loaded, operations);
}

std::shared_ptr<FSVolumeReadWriteOperations> InProcessHost::requireReadWrite() const {
    auto loaded = volume();
    auto* operations = dynamic_cast<FSVolumeReadWriteOperations*>(loaded.get());
    if (operations == nullptr) {
        throw hostError(ENXIO, "no volume with read-write operations is loaded");
    }
    return std::shared_ptr<FSVolumeReadWriteOperations>(loaded, operations);
}

std::shared_ptr<FSVolumeOpenCloseOperations> InProcessHost::openClose() const {
    auto loaded = volume();
    auto* operations = dynamic_cast<FSVolumeOpenCloseOperations*>(loaded.get());
    if (operations == nullptr) {
        return nullptr;
    }
    return std::shared_ptr<FSVolumeOpenCloseOperations>(loaded, operations);
}

Pending<StatusOutcome> InProcessHost::synchronize(FSSyncFlags flags) {
    auto operations = requireOperations();
    return call<StatusReply, StatusOutcome>("synchronize", statusOutcome, [&](const StatusReply& reply) {
        operations->synchronize(flags, reply);
    });
}

Pending<AttributesOutcome> InProcessHost::getAttributes(std::shared_ptr<FSItem> item,
                                                        FSItemGetAttributesRequest desired) {
    auto operations = requireOperations();
    return call<AttributesReply, AttributesOutcome>(
        "getAttributes", attributesOutcome,
        [&](const AttributesReply& reply) { operations->getAttributes(desired, item, reply); });
}

Pending<AttributesOutcome> InProcessHost::setAttributes(std::shared_ptr<FSItem> item,
                                                        std::shared_ptr<FSItemSetAttributesRequest> request) {
    auto operations = requireOperations();
    return call<AttributesReply, AttributesOutcome>(
        "setAttributes", attributesOutcome,
        [&](const AttributesReply& reply) { operations->setAttributes(request, item, reply); });
}

Pending<ItemOutcome> InProcessHost::lookupItem(std::shared_ptr<FSItem> directory, std::string_view name) {
    auto operations = requireOperations();
    return call<ItemNameReply, ItemOutcome>("lookupItem", itemOutcome, [&](const ItemNameReply& reply) {
        operations->lookupItem(FSFileName(name), directory, reply);
    });
}

Pending<StatusOutcome> InProcessHost::reclaimItem(std::shared_ptr<FSItem> item) {
    auto operations = requireOperations();
    return call<StatusReply, StatusOutcome>("reclaimItem", statusOutcome, [&](const StatusReply& reply) {
        operations->reclaimItem(item, reply);
    });
}

Pending<NameOutcome> InProcessHost::readSymbolicLink(std::shared_ptr<FSItem> item) {
    auto operations = requireOperations();
    return call<NameReply, NameOutcome>("readSymbolicLink", nameOutcome, [&](const NameReply& reply) {
        operations->readSymbolicLink(item, reply);
    });
}

Pending<ItemOutcome> InProcessHost::createItem(std::shared_ptr<FSItem> directory, std::string_view name,
                                               FSItemType type,
                                               std::shared_ptr<FSItemSetAttributesRequest> attributes) {
    auto operations = requireOperations();
    if (!attributes) {
        attributes = std::make_shared<FSItemSetAttributesRequest>();
    }
    return call<ItemNameReply, ItemOutcome>("createItem", itemOutcome, [&](const ItemNameReply& reply) {
        operations->createItem(FSFileName(name), type, directory, attributes, reply);
    });
}

Pending<ItemOutcome> InProcessHost::createSymbolicLink(std::shared_ptr<FSItem> directory,
                                                       std::string_view name, std::string_view contents) {
    auto operations = requireOperations();
    return call<ItemNameReply, ItemOutcome>(
        "createSymbolicLink", itemOutcome, [&](const ItemNameReply& reply) {
            operations->createSymbolicLink(FSFileName(name), directory,
                                           std::make_shared<FSItemSetAttributesRequest>(),
                                           FSFileName(contents), reply);
        });
}

Pending<NameOutcome> InProcessHost::createLink(std::shared_ptr<FSItem> item,
                                               std::shared_ptr<FSItem> directory, std::string_view name) {
    auto operations = requireOperations();
    return call<NameReply, NameOutcome>("createLink", nameOutcome, [&](const NameReply& reply) {
        operations->createLink(item, FSFileName(name), directory, reply);
    });
}

Pending<StatusOutcome> InProcessHost::removeItem(std::shared_ptr<FSItem> item,
                                                 std::shared_ptr<FSItem> directory, std::string_view name) {
    auto operations = requireOperations();
    return call<StatusReply, StatusOutcome>("removeItem", statusOutcome, [&](const StatusReply& reply) {
        operations->removeItem(item, FSFileName(name), directory, reply);
    });
}

Pending<NameOutcome>
InProcessHost::renameItem(std::shared_ptr<FSItem> item, std::shared_ptr<FSItem> sourceDirectory,
                          std::string_view sourceName, std::shared_ptr<FSItem> destinationDirectory,
                          std::string_view destinationName, std::shared_ptr<FSItem> overItem) {
    auto operations = requireOperations();
    return call<NameReply, NameOutcome>("renameItem", nameOutcome, [&](const NameReply& reply) {
        operations->renameItem(item, sourceDirectory, FSFileName(sourceName), FSFileName(destinationName),
                               destinationDirectory, overItem, reply);
    });
}

Pending<EnumerationOutcome> InProcessHost::enumerateDirectory(
    std::shared_ptr<FSItem> directory, FSDirectoryCookie cookie, FSDirectoryVerifier verifier,
    std::optional<FSItemGetAttributesRequest> attributes, std::size_t capacity) {
    auto operations = requireOperations();
    const std::string operation = "enumerateDirectory";
    auto packer = std::make_shared<CollectingPacker>(capacity, m_log, operation);
    return call<EnumerateReply, EnumerationOutcome>(
        operation,
        [packer](HostLog&, const std::string&, FSDirectoryVerifier replied, std::optional<Error> error) {
            EnumerationOutcome outcome;
            outcome.error = std::move(error);
            outcome.verifier = replied;
            packer->close(outcome);
            return outcome;
        },
        [&](const EnumerateReply& reply) {
            operations->enumerateDirectory(directory, cookie, verifier, attributes, packer, reply);
        });
}

EnumerationOutcome InProcessHost::enumerateAll(std::shared_ptr<FSItem> directory,
                                               std::optional<FSItemGetAttributesRequest> attributes,
                                               std::size_t pageCapacity) {
    EnumerationOutcome all;
    FSDirectoryCookie cookie = FSDirectoryCookieInitial;
    FSDirectoryVerifier verifier = FSDirectoryVerifierInitial;
    std::set<FSDirectoryCookie> cookies{cookie};
    bool firstPage = true;
    while (true) {
        auto page = enumerateDirectory(directory, cookie, verifier, attributes, pageCapacity).wait();
        if (page.error) {
            all.error = std::move(page.error);
            all.verifier = page.verifier;
            return all;
        }
        if (!firstPage && page.verifier != verifier) {
            all.verifierChanged = true;
        }
        firstPage = false;
        verifier = page.verifier;
        all.verifier = verifier;
        if (page.entries.empty()) {
            return all;
        }
        cookie = page.entries.back().nextCookie;
        for (auto& entry : page.entries) {
            all.entries.push_back(std::move(entry));
        }
        // A volume that hands back a cookie it handed back before would make the kernel list forever.
        if (!cookies.insert(cookie).second) {
            m_log->recordFault("enumerateDirectory", HostFaultKind::enumerationLoop,
                               "cookie " + std::to_string(cookie) + " came back twice");
            return all;
        }
    }
}

Pending<StatusOutcome> InProcessHost::openItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes) {
    auto operations = openClose();
    return call<StatusReply, StatusOutcome>("openItem", statusOutcome, [&](const StatusReply& reply) {
        if (operations) {
            operations->openItem(item, modes, reply);
        } else {
            reply(std::nullopt);
        }
    });
}

Pending<StatusOutcome> InProcessHost::closeItem(std::shared_ptr<FSItem> item, FSVolumeOpenModes modes) {
    auto operations = openClose();
    return call<StatusReply, StatusOutcome>("closeItem", statusOutcome, [&](const StatusReply& reply) {
        if (operations) {
            operations->closeItem(item, modes, reply);
        } else {
            reply(std::nullopt);
        }
    });
}

Pending<ByteCountOutcome> InProcessHost::readFromFile(std::shared_ptr<FSItem> item, off_t offset,
                                                      std::size_t length) {
    auto operations = requireReadWrite();
    auto buffer = std::make_shared<FSMutableFileDataBuffer>(length);
    return call<ByteCountReply, ByteCountOutcome>(
        "readFromFile",
        [buffer](HostLog& log, const std::string& operation, std::size_t count, std::optional<Error> error) {
            ByteCountOutcome outcome;
            outcome.error = std::move(error);
            outcome.count = count;
            if (count > buffer->length()) {
                log.recordFault(operation, HostFaultKind::countBeyondBuffer,
                                std::to_string(count) + " bytes replied for a buffer of " +
                                    std::to_string(buffer->length()));
                count = buffer->length();
            }
            const auto bytes = buffer->bytes().first(count);
            outcome.bytes.assign(bytes.begin(), bytes.end());
            return outcome;
        },
        [&](const ByteCountReply& reply) { operations->readFromFile(item, offset, length, buffer, reply); });
}

Pending<ByteCountOutcome> InProcessHost::writeContents(std::shared_ptr<FSItem> item, off_t offset,
                                                       std::span<const std::byte> contents) {
    auto operations = requireReadWrite();
    const std::size_t given = contents.size();
    return call<ByteCountReply, ByteCountOutcome>(
        "writeContents",
        [given](HostLog& log, const std::string& operation, std::size_t count, std::optional<Error> error) {
            ByteCountOutcome outcome;
            outcome.error = std::move(error);
            outcome.count = count;
            if (count > given) {
                log.recordFault(operation, HostFaultKind::countBeyondBuffer,
                                std::to_string(count) + " bytes replied for " + std::to_string(given) +
                                    " given");
            }
            return outcome;
        },
        [&](const ByteCountReply& reply) { operations->writeContents(contents, item, offset, reply); });
}

std::vector<ReplyRecord> InProcessHost::replies() const {
    return m_log->replies();
}

std::vector<HostFault> InProcessHost::faults() const {
    return m_log->faults();
}

std::size_t InProcessHost::outstandingReplies() const {
    return m_log->outstanding();
}

} // namespace fskit
