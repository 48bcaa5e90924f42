// Taking volumes down: the normal chain, the forced unmount, the time-limited unmount and unmounting all.
#include "Tandalo/core/MountManager.h"

#include "Tandalo/core/ThreadExecutor.h"
#include "platform/foundation/OneShot.h"

#include <atomic>

namespace tandalo::app {

namespace {

using namespace std::chrono_literals;

constexpr auto eachVolumeLimit = 4s;
constexpr auto allVolumesLimit = 10s;

using Refusal = std::optional<std::string>;

template <typename Operation>
Task<Refusal> askVolumes(VolumeUnmounter& volumes, std::filesystem::path folder, Operation operation,
                         std::string name) {
    auto start = [&volumes, &folder, operation](Resumer<Refusal> resumer) {
        (volumes.*operation)(folder, [resumer](Refusal refusal) { resumer.resume(std::move(refusal)); });
    };
    co_return co_await callback<Refusal>(std::move(start), std::move(name));
}

Task<void> answerWhenUnmounted(MountManager& manager, std::filesystem::path folder, Resumer<bool> answer) {
    bool unmounted = true;
    try {
        co_await manager.unmountVolume(folder);
    } catch (const std::exception&) {
        unmounted = false;
    }
    answer.resumeIfFirst(unmounted);
}

Task<void> answerWhenTimeIsUp(platform::Clock::Duration limit, Resumer<bool> answer) {
    co_await sleep(limit); // a sleep cut short counts as the time passing
    answer.resumeIfFirst(false);
}

Task<void> unmountOneOfAll(MountManager& manager, std::filesystem::path folder,
                           std::shared_ptr<std::atomic<std::size_t>> left, platform::OneShot<void> allDone) {
    co_await manager.unmount(folder, eachVolumeLimit);
    if (--*left == 0) {
        allDone.resume();
    }
}

} // namespace

Task<void> MountManager::unmountVolume(std::filesystem::path folder) {
    const auto refusal = co_await askVolumes(m_services.volumes, folder, &VolumeUnmounter::unmount,
                                             "unmount " + folder.string());
    if (!refusal) {
        removeFolderQuietly(folder);
        co_return;
    }
    m_log.notice("unmountVolume %{public}s: %{public}s", folder.string(), *refusal);
    ProcessCommand umount{m_tools.umount, {folder.string()}, m_tools.unmountTimeLimit};
    if ((co_await run(m_services.processes, std::move(umount))).status == 0) {
        removeFolderQuietly(folder);
        co_return;
    }
    ProcessCommand fusermount{m_tools.fusermount, {"-u", folder.string()}, m_tools.unmountTimeLimit};
    const auto last = co_await run(m_services.processes, std::move(fusermount));
    if (last.status == 0) {
        removeFolderQuietly(folder);
        co_return;
    }
    throw MountError(last.output.empty() ? "unmount failed" : last.output);
}

Task<void> MountManager::forceUnmount(std::filesystem::path folder) {
    if (!hasMountOn(folder)) {
        throw MountError("the disk service does not know " + folder.string());
    }
    const auto refusal = co_await askVolumes(m_services.volumes, folder, &VolumeUnmounter::forceUnmount,
                                             "forced unmount " + folder.string());
    if (refusal) {
        m_log.notice("forced unmount %{public}s refused: %{public}s", folder.string(), *refusal);
        throw MountError(*refusal);
    }
    removeFolderQuietly(folder);
}

Task<void> MountManager::unmount(std::filesystem::path folder, platform::Clock::Duration within) {
    auto& executor = co_await currentExecutor();
    // Neither racer is cancelled when the other answers: the chain goes on after the limit.
    auto race = [this, &executor, &folder, within](Resumer<bool> answer) {
        spawn(executor, answerWhenUnmounted(*this, folder, answer), "unmount " + folder.string());
        spawn(executor, answerWhenTimeIsUp(within, answer), "unmount limit");
    };
    const bool unmounted = co_await callback<bool>(std::move(race), "unmount within limit");
    if (unmounted) {
        co_return;
    }
    try {
        co_await forceUnmount(folder);
    } catch (const std::exception&) {
        // Already logged where it was refused; there is nothing more to try.
    }
}

void MountManager::unmountAll() {
    const auto rows = mounts();
    if (rows.empty()) {
        return;
    }
    const auto left = std::make_shared<std::atomic<std::size_t>>(rows.size());
    platform::OneShot<void> allDone("unmount all");
    for (const auto& row : rows) {
        spawn(*m_background, unmountOneOfAll(*this, row.on, left, allDone), "unmount all " + row.on.string());
    }
    // Returns whether they finished or not; the rest goes on in the background.
    static_cast<void>(allDone.waitFor(m_services.clock, allVolumesLimit));
}

} // namespace tandalo::app
