#pragma once

#include "platform/fskit/Error.h"
#include "platform/fskit/FSEntityIdentifier.h"
#include "platform/fskit/FSKitTypes.h"
#include "platform/fskit/FSReply.h"
#include "platform/fskit/FSResource.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace fskit {

class FSVolume;

/// What a probe found: a resource the file system cannot use, or one it can, named and placed in a
/// container.
class FSProbeResult {
public:
    enum class Result { notRecognized, usable };

    static FSProbeResult notRecognizedProbeResult() { return FSProbeResult(Result::notRecognized, {}, {}); }
    static FSProbeResult usableProbeResult(std::string name, FSContainerIdentifier containerID) {
        return FSProbeResult(Result::usable, std::move(name), std::move(containerID));
    }

    Result result() const noexcept { return m_result; }
    /// Empty for a resource that was not recognised.
    const std::string& name() const noexcept { return m_name; }
    const std::optional<FSContainerIdentifier>& containerID() const noexcept { return m_containerID; }

private:
    FSProbeResult(Result result, std::string name, std::optional<FSContainerIdentifier> containerID)
        : m_result(result), m_name(std::move(name)), m_containerID(std::move(containerID)) {}

    Result m_result;
    std::string m_name;
    std::optional<FSContainerIdentifier> m_containerID;
};

/// The state a file system reports for its container: not ready yet, ready, or blocked by an error.
class FSContainerStatus {
public:
    enum class State { notReady, ready, blocked };

    static FSContainerStatus notReady() { return FSContainerStatus(State::notReady, std::nullopt); }
    static FSContainerStatus ready() { return FSContainerStatus(State::ready, std::nullopt); }
    static FSContainerStatus blockedWithStatus(Error status) {
        return FSContainerStatus(State::blocked, std::move(status));
    }

    State state() const noexcept { return m_state; }
    /// The error that blocks the container; none in the other states.
    const std::optional<Error>& status() const noexcept { return m_status; }

private:
    FSContainerStatus(State state, std::optional<Error> status)
        : m_state(state), m_status(std::move(status)) {}

    State m_state;
    std::optional<Error> m_status;
};

using ProbeReply = Reply<std::optional<FSProbeResult>, std::optional<Error>>;
using LoadReply = Reply<std::shared_ptr<FSVolume>, std::optional<Error>>;
using UnloadReply = Reply<std::optional<Error>>;

/// The operations the platform calls on a unary file system, each on one of its own threads. Every
/// operation answers through its reply exactly once, possibly later and from another thread.
class FSUnaryFileSystemOperations {
public:
    virtual ~FSUnaryFileSystemOperations() = default;

    /// Replies with a result (usable or not recognised), or with an error when probing failed.
    virtual void probeResource(std::shared_ptr<FSResource> resource, ProbeReply reply) = 0;
    /// Replies with the loaded volume, or with an error.
    virtual void loadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options,
                              LoadReply reply) = 0;
    virtual void unloadResource(std::shared_ptr<FSResource> resource, FSTaskOptions options,
                                UnloadReply reply) = 0;
    /// Called once when the platform has set the file system up.
    virtual void didFinishLoading() {}
};

/// A file system with one resource per volume; owns the container status that the platform reads.
class FSUnaryFileSystem : public FSUnaryFileSystemOperations {
public:
    FSUnaryFileSystem() = default;
    FSUnaryFileSystem(const FSUnaryFileSystem&) = delete;
    FSUnaryFileSystem& operator=(const FSUnaryFileSystem&) = delete;

    /// Any thread; does not block beyond a short lock.
    FSContainerStatus containerStatus() const;
    void setContainerStatus(FSContainerStatus status);

private:
    mutable std::mutex m_statusLock; // guards m_containerStatus only; taken for one copy
    FSContainerStatus m_containerStatus = FSContainerStatus::notReady();
};

/// The entry of a unary file-system extension: gives the platform its one file system.
class UnaryFileSystemExtension {
public:
    virtual ~UnaryFileSystemExtension() = default;
    virtual std::shared_ptr<FSUnaryFileSystem> fileSystem() = 0;
};

} // namespace fskit
