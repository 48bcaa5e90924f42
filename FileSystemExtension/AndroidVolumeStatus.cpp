// The volume's share of the device status: the battery poller and the recording of write times.
#include "FileSystemExtension/AndroidVolume.h"

#include "FileSystemExtension/DeviceStatus.h"

#include <optional>

namespace tandalo {

void AndroidVolume::startBatteryTask() {
    // The poller being replaced ends before the new one starts, so two pollers never run at once. It is
    // ended outside the lock: it may be waiting for its device call.
    auto previous = withLock([](Tables& tables) -> std::optional<platform::Task> {
        if (tables.isShutDown) {
            // The device is closed: a poller now would only fail, and outlive the volume's unload.
            return std::nullopt;
        }
        return std::move(tables.batteryTask);
    });
    if (!previous) {
        return;
    }
    if (previous->valid()) {
        previous->cancel();
        previous->wait();
    }
    std::weak_ptr<AndroidVolume> weakSelf = weak_from_this();
    platform::Clock* clock = m_context.clock;
    auto poller = platform::Task::start(
        "battery " + m_deviceKey,
        [weakSelf, clock](std::stop_token stop) {
            for (bool first = true; !stop.stop_requested(); first = false) {
                if (!pollBattery(weakSelf, stop)) {
                    return;
                }
                // After the first poll, so that mounting is not slowed and the level shows at once.
                if (const auto self = first ? weakSelf.lock() : nullptr) {
                    self->removeLeftovers(stop);
                }
                // A cancelled sleep leads to the same check as a normal wake-up.
                clock->sleepFor(batteryPollInterval, stop);
            }
        },
        m_log);
    // A shutdown, or another activation, that came in meanwhile wins over this one.
    auto displaced = withLock([&](Tables& tables) {
        if (tables.isShutDown) {
            return std::move(poller);
        }
        std::swap(tables.batteryTask, poller);
        return std::move(poller);
    });
    displaced.cancel();
}

bool AndroidVolume::pollBattery(const std::weak_ptr<AndroidVolume>& weakSelf, std::stop_token stop) {
    {
        // Held only for one poll, so a volume that is let go ends its poller at the next wake-up.
        const auto self = weakSelf.lock();
        if (!self) {
            return false;
        }
        try {
            const auto level = self->fs().batteryLevel();
            if (level && !stop.stop_requested()) {
                DeviceStatus::setBatteryLevel(*level, self->m_deviceKey, *self->m_context.environment);
            }
        } catch (const std::exception& error) {
            // The stored level stays until the next poll or the unload.
            self->m_log.error("battery level of %{public}s not read: %{public}s", self->m_deviceKey,
                              error.what());
        }
    }
    // When that reference was the last one, the volume is gone and its clock may be too.
    return !weakSelf.expired();
}

bool AndroidVolume::claimWriteRecord() {
    const auto now = clock().now();
    return withLock([&](Tables& tables) {
        if (tables.writeRecordRunning ||
            (tables.writeRecordedAt && now - *tables.writeRecordedAt < writeRecordInterval)) {
            return false;
        }
        tables.writeRecordedAt = now;
        tables.writeRecordRunning = true;
        return true;
    });
}

void AndroidVolume::storeWriteRecord(platform::Clock::WallTime date) {
    try {
        DeviceStatus::recordWrite(m_deviceKey, date, *m_context.environment);
    } catch (...) {
        withLock([](Tables& tables) { tables.writeRecordRunning = false; });
        throw;
    }
    withLock([](Tables& tables) { tables.writeRecordRunning = false; });
}

void AndroidVolume::recordWrite() {
    const auto date = clock().wallNow();
    if (claimWriteRecord()) {
        storeWriteRecord(date);
    }
}

void AndroidVolume::recordWriteBehind() {
    const auto date = clock().wallNow();
    if (!claimWriteRecord()) {
        return;
    }
    const auto store = [this, date] {
        try {
            storeWriteRecord(date);
        } catch (...) {
            // Deliberately dropped: the record is advisory, and what could be said is in the log.
        }
    };
    try {
        startTask(store);
    } catch (...) {
        store();
    }
}

} // namespace tandalo
