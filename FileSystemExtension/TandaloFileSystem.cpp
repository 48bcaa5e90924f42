#include "FileSystemExtension/TandaloFileSystem.h"

#include "Corvane/usb/DeviceName.h"
#include "FileSystemExtension/ErrorMapping.h"
#include "FileSystemExtension/ExtensionLog.h"
#include "platform/foundation/UUID.h"

#include <algorithm>
#include <cerrno>
#include <exception>

namespace tandalo {

namespace {

std::string cleanName(const corvane::USBDeviceDescriptor& descriptor) {
    return corvane::DeviceName::clean(descriptor.productName, descriptor.vendorName, descriptor.serialNumber);
}

} // namespace

TandaloFileSystem::TandaloFileSystem(Context context)
    : m_context(std::move(context)), m_log(extensionLog(*m_context.logStore)), m_tasks("file system", m_log) {
}

TandaloFileSystem::~TandaloFileSystem() {
    // Loads in progress stop waiting between attempts; once they have ended, nothing adds a volume.
    m_tasks.requestStop();
    m_tasks.waitAll();
    std::map<std::string, std::shared_ptr<AndroidVolume>, std::less<>> remaining;
    {
        std::lock_guard guard(m_lock);
        remaining.swap(m_volumes);
    }
    for (const auto& [key, volume] : remaining) {
        volume->shutdown();
    }
}

void TandaloFileSystem::probeResource(std::shared_ptr<fskit::FSResource> resource, fskit::ProbeReply reply) {
    try {
        const auto descriptor = device(*resource);
        if (const auto key = volumeKey(*resource)) {
            std::lock_guard guard(m_lock);
            m_probed.insert_or_assign(*key, descriptor);
        }
        const auto name = cleanName(descriptor);
        m_log.info("probe: recognized %{public}s", name);
        reply(fskit::FSProbeResult::usableProbeResult(name, containerIdentifier(descriptor)), std::nullopt);
    } catch (...) {
        const auto error = fsError(std::current_exception());
        if (error.code() == EINVAL) {
            // Not one of ours: another file system may take it, so this is no failure.
            reply(fskit::FSProbeResult::notRecognizedProbeResult(), std::nullopt);
            return;
        }
        m_log.error("probe failed: %{public}s", error.description());
        reply(std::nullopt, error);
    }
}

void TandaloFileSystem::loadResource(std::shared_ptr<fskit::FSResource> resource,
                                     fskit::FSTaskOptions options, fskit::LoadReply reply) {
    auto key = volumeKey(*resource).value_or(platform::UUID::random().uuidString());
    const auto& taskOptions = options.taskOptions();
    const auto access = std::ranges::find(taskOptions, fskit::FSTaskOptions::readOnly) != taskOptions.end()
                            ? VolumeAccess::readOnly
                            : VolumeAccess::readWrite;
    m_tasks.start([this, resource, key = std::move(key), access, reply](std::stop_token stop) {
        try {
            // The platform probes a resource right before it loads it; what the probe found is still there.
            const auto probed = takeProbed(key);
            const auto descriptor = probed ? *probed : device(*resource);
            m_log.info("load: connecting to %{public}s%{public}s", descriptor.description(),
                       takesOverFromAnyone(*resource) ? ", taking it over" : "");
            auto volume =
                loadVolume(descriptor, access, takeOver(*resource), stop, locatedStatusKey(*resource));
            std::shared_ptr<AndroidVolume> replaced;
            {
                std::lock_guard guard(m_lock);
                replaced = std::exchange(m_volumes[key], volume);
            }
            // The volume this load replaces still holds a session, a battery poller and the device's
            // shared status; dropping it silently would leak all three. It goes before the reply, so that
            // clearing its status cannot wipe what the new volume publishes once it is activated.
            if (replaced && replaced != volume) {
                replaced->shutdown();
            }
            setContainerStatus(fskit::FSContainerStatus::ready());
            m_log.info("load: volume ready for %{public}s", cleanName(descriptor));
            reply(volume, std::nullopt);
        } catch (...) {
            const auto failure = std::current_exception();
            m_log.error("load failed: %{public}s", describe(failure));
            const auto error = fsError(failure);
            setContainerStatus(fskit::FSContainerStatus::blockedWithStatus(error));
            reply(nullptr, error);
        }
    });
}

void TandaloFileSystem::unloadResource(std::shared_ptr<fskit::FSResource> resource, fskit::FSTaskOptions,
                                       fskit::UnloadReply reply) {
    const auto key = volumeKey(*resource).value_or("");
    std::shared_ptr<AndroidVolume> removed;
    {
        std::lock_guard guard(m_lock);
        if (const auto entry = m_volumes.find(key); entry != m_volumes.end()) {
            removed = std::move(entry->second);
            m_volumes.erase(entry);
        }
    }
    m_tasks.start([this, removed = std::move(removed), reply](std::stop_token) {
        if (removed) {
            removed->shutdown();
        }
        m_log.info("unload: done");
        reply(std::nullopt);
    });
}

std::optional<corvane::USBDeviceDescriptor> TandaloFileSystem::takeProbed(const std::string& key) {
    std::lock_guard guard(m_lock);
    const auto found = m_probed.find(key);
    if (found == m_probed.end()) {
        return std::nullopt;
    }
    auto descriptor = std::move(found->second);
    m_probed.erase(found);
    return descriptor;
}

void TandaloFileSystem::didFinishLoading() {
    m_log.info("Tandalo extension loaded");
}

std::shared_ptr<AndroidVolume> TandaloFileSystem::volume(std::string_view key) const {
    std::lock_guard guard(m_lock);
    const auto entry = m_volumes.find(key);
    return entry == m_volumes.end() ? nullptr : entry->second;
}

std::size_t TandaloFileSystem::volumeCount() const {
    std::lock_guard guard(m_lock);
    return m_volumes.size();
}

AndroidVolume::Context TandaloFileSystem::volumeContext() const {
    return AndroidVolume::Context{
        .clock = m_context.clock, .environment = m_context.environment, .logStore = m_context.logStore};
}

} // namespace tandalo
