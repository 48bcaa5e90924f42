#pragma once

#include "Tandalo/core/WorkerThreads.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace tandalo::app {

/// The processes that serve mounted volumes (mount-tandalo, once it has detached): whether a volume still
/// has its server, and word when a serving process ends. A volume whose server died stays in the mount
/// table and answers ENOTCONN until it is unmounted.
class VolumeServers {
public:
    /// Keeps a watch going; destroying it ends the watch, after which its callback is not called.
    class Watch {
    public:
        virtual ~Watch() = default;
    };
    using Answer = std::function<void(bool)>;
    using Ended = std::function<void()>;

    virtual ~VolumeServers() = default;

    /// Asks whether the volume on the folder has lost its server (the folder answers ENOTCONN), and calls
    /// done exactly once, on any thread, with the answer. Does not block; a server that does not answer
    /// keeps the question open.
    virtual void askDisconnected(const std::filesystem::path& folder, Answer done) = 0;
    /// Calls ended once, on any thread, when the process ends (at once when there is none), unless the
    /// watch was destroyed first. Does not block.
    virtual std::unique_ptr<Watch> watchProcess(std::int32_t pid, Ended ended) = 0;
    /// The running process of the program that was run on the folder and serves its mount, for a mount
    /// this application did not make in this run; nothing when there is not exactly one. Blocks briefly.
    virtual std::optional<std::int32_t> serverOf(const std::filesystem::path& folder,
                                                 const std::filesystem::path& program) const = 0;
};

/// On Linux: stat() on a thread of its own for the question, a pidfd, polled on a thread of its own, for
/// each watch, and /proc for the server of a mount: the process whose executable is the program and whose
/// last argument is the folder.
class LinuxVolumeServers final : public VolumeServers {
public:
    void askDisconnected(const std::filesystem::path& folder, Answer done) override;
    std::unique_ptr<Watch> watchProcess(std::int32_t pid, Ended ended) override;
    std::optional<std::int32_t> serverOf(const std::filesystem::path& folder,
                                         const std::filesystem::path& program) const override;

private:
    WorkerThreads m_workers; // last: its threads use what the watches share with them
};

} // namespace tandalo::app
