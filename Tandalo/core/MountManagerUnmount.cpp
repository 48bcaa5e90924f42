// Taking volumes down: the normal chain, the forced unmount, the time-limited unmount and unmounting all.
#include "Tandalo/core/MountManager.h"

#include "Tandalo/core/ThreadExecutor.h"
#include "platform/foundation/OneShot.h"

#include <atomic>
#include <string_view>
#include <vector>

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

std::string stepFailure(std::string_view tool, const ProcessResult& result) {
    auto text = std::string(tool) + ": exit " + std::to_string(result.status);
    auto output = result.output;
    while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) {
        output.pop_back();
    }
    return output.empty() ? text : text + " " + output;
}

std::string joinedFailures(const std::vector<std::string>& failures) {
    std::string text;
    for (const auto& failure : failures) {
        text.append(text.empty() ? "" : "; ").append(failure);
    }
    return text;
}

} // namespace

Task<void> MountManager::unmountVolume(std::filesystem::path folder) {
    // A user who is not root is refused the polite unmount every time, and umount or fusermount3 then
    // does it: a step that fails is only worth a failure line when no later step works.
    std::vector<std::string> failures;
    const auto source = sourceOn(folder);
    const auto unmounted = [&](std::string_view by) {
        if (!failures.empty()) {
            m_log.debug("unmountVolume %{public}s: unmounted by %{public}s after %{public}s", folder.string(),
                        by, joinedFailures(failures));
        }
        removeFolderQuietly(folder);
        removeToken(source, folder);
    };
    const auto refusal = co_await askVolumes(m_services.volumes, folder, &VolumeUnmounter::unmount,
                                             "unmount " + folder.string());
    if (!refusal) {
        unmounted("the system");
        co_return;
    }
    failures.push_back("the system: " + *refusal);
    ProcessCommand umount{m_tools.umount, {folder.string()}, m_tools.unmountTimeLimit};
    const auto first = co_await run(m_services.processes, std::move(umount));
    if (first.status == 0) {
        unmounted("umount");
        co_return;
    }
    failures.push_back(stepFailure("umount", first));
    ProcessCommand fusermount{m_tools.fusermount, {"-u", folder.string()}, m_tools.unmountTimeLimit};
    const auto last = co_await run(m_services.processes, std::move(fusermount));
    if (last.status == 0) {
        unmounted("fusermount3");
        co_return;
    }
    failures.push_back(stepFailure("fusermount3", last));
    m_log.error("unmountVolume %{public}s: %{public}s", folder.string(), joinedFailures(failures));
    throw MountError(last.output.empty() ? "unmount failed" : last.output);
}

Task<void> MountManager::forceUnmount(std::filesystem::path folder) {
    const auto source = sourceOn(folder);
    if (!source) {
        throw MountError("the disk service does not know " + folder.string());
    }
    const auto refusal = co_await askVolumes(m_services.volumes, folder, &VolumeUnmounter::forceUnmount,
                                             "forced unmount " + folder.string());
    if (refusal) {
        m_log.notice("forced unmount %{public}s refused: %{public}s", folder.string(), *refusal);
        throw MountError(*refusal);
    }
    removeFolderQuietly(folder);
    removeToken(source, folder);
}

Task<bool> MountManager::hasLostServer(std::filesystem::path folder) {
    auto& executor = co_await currentExecutor();
    auto ask = [this, &executor, &folder](Resumer<bool> answer) {
        m_services.servers.askDisconnected(folder, [answer](bool lost) { answer.resumeIfFirst(lost); });
        spawn(executor, answerWhenTimeIsUp(serverAnswerLimit, answer), "server answer limit");
    };
    co_return co_await callback<bool>(std::move(ask), "server of " + folder.string());
}

Task<void> MountManager::takeDown(std::filesystem::path folder) {
    bool forced = true;
    try {
        co_await forceUnmount(folder);
    } catch (const std::exception&) {
        forced = false;
    }
    if (!forced) {
        try {
            co_await unmountVolume(folder);
        } catch (const std::exception&) {
            // The folder stays while something is mounted on it.
        }
    }
    removeStaleFolder(folder);
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
