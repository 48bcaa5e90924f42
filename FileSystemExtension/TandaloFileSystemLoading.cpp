// Loading a volume: connecting to the device and opening its session, with retries.
#include "FileSystemExtension/TandaloFileSystem.h"

#include "Corvane/usb/DeviceName.h"
#include "FileSystemExtension/ErrorMapping.h"

#include <exception>

namespace tandalo {

std::shared_ptr<AndroidVolume> TandaloFileSystem::loadVolume(const corvane::USBDeviceDescriptor& descriptor,
                                                             VolumeAccess access, corvane::TakeOver takeOver,
                                                             std::stop_token stop,
                                                             const std::optional<std::string>& locatedKey) {
    auto deviceContext = m_context.deviceContext;
    deviceContext.clock = m_context.clock;
    auto current = descriptor;
    for (int attempt = 1;; ++attempt) {
        std::exception_ptr failure;
        std::shared_ptr<corvane::MTPDevice> device;
        try {
            const auto name =
                corvane::DeviceName::clean(current.productName, current.vendorName, current.serialNumber);
            // Only the first attempt may take the interface over: a later one that finds it held again
            // should fail rather than fight the holder.
            device = corvane::MTPDevice::connect(
                current, std::nullopt, attempt == 1 ? takeOver : corvane::TakeOver::never,
                [log = m_log, name] { log.error("device %{public}s disconnected", name); }, deviceContext);
        } catch (...) {
            failure = std::current_exception();
            m_log.error("load attempt %ld could not open USB: %{public}s", attempt, describe(failure));
        }
        if (device) {
            const auto fs = std::make_shared<corvane::MTPFileSystem>(device, *m_context.clock);
            try {
                if (attempt > 1) {
                    try {
                        // A device that failed before may still be mid-transaction; a reset gives the new
                        // session a clean start. A reset that fails is no reason not to try the session.
                        device->hold()->resetDevice();
                    } catch (...) {
                        // Ignored: the session's own open shows whether the device is usable.
                    }
                }
                fs->open(stop);
                auto context = volumeContext();
                context.deviceKey = locatedKey;
                return AndroidVolume::make(fs, current, access, context);
            } catch (...) {
                failure = std::current_exception();
                m_log.error("load attempt %ld failed: %{public}s", attempt, describe(failure));
                fs->close();
            }
        }
        // A wait cut short by a stop request counts as a full one.
        m_context.clock->sleepFor(attempt * retryWaitUnit, stop);
        if (attempt == loadAttempts) {
            std::rethrow_exception(failure);
        }
        // A reset or a take-over re-creates the interface under a new registry ID; look for it again,
        // always by what the resource first named.
        current = rediscover(descriptor, stop, locatedKey.has_value());
    }
}

} // namespace tandalo
