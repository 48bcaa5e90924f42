#pragma once

#include "platform/foundation/UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <thread>

struct fuse_session;
struct fuse_req;

namespace simulation {

class FunctionFSEndpoints;

/// A FUSE mount that stands in for a mounted FunctionFS instance: the folder shows ep0 and the endpoint
/// files ep1..epN, and every open, read and write on them goes to a FunctionFSEndpoints. The mount owns
/// its libfuse session and the one thread that serves it; that thread never blocks on a request, since
/// the endpoints hold what must wait and answer it from another thread.
///
/// Files are non-seekable and uncached (direct I/O), so each read() and write() of the function arrives
/// whole as one request, as on an endpoint file. Zero-length reads and writes never arrive (FUSE drops
/// them), and select() reports the files ready at once (there is no poll handler).
///
/// Any thread may destroy it. Destruction shuts the endpoints down first, so every request still held is
/// answered before the session goes away, then stops the thread and unmounts.
class FunctionFSMount {
public:
    /// Mounts the empty folder. Throws RealPeerError when libfuse cannot create or mount the session.
    static std::unique_ptr<FunctionFSMount> mount(const std::filesystem::path& folder,
                                                  std::shared_ptr<FunctionFSEndpoints> endpoints,
                                                  std::size_t endpointFiles);
    ~FunctionFSMount();
    FunctionFSMount(const FunctionFSMount&) = delete;
    FunctionFSMount& operator=(const FunctionFSMount&) = delete;

    const std::filesystem::path& folder() const noexcept { return m_folder; }
    /// The path of ep<number>.
    std::filesystem::path file(std::size_t number) const;
    /// Whether the unmount at destruction worked (false while still mounted).
    bool isUnmounted() const noexcept { return m_unmounted; }
    /// Stops serving and unmounts now; later calls do nothing. Never throws.
    void unmount() noexcept;

    // For the libfuse callbacks only.
    struct Callbacks;

private:
    FunctionFSMount(std::filesystem::path folder, std::shared_ptr<FunctionFSEndpoints> endpoints,
                    std::size_t endpointFiles);
    void serve(); // the loop thread

    const std::filesystem::path m_folder;
    const std::shared_ptr<FunctionFSEndpoints> m_endpoints;
    const std::size_t m_fileCount; // ep0 and the endpoint files
    fuse_session* m_session = nullptr;
    platform::UniqueFd m_stopEvent; // an eventfd that ends the loop's poll
    std::atomic<bool> m_stopping{false};
    bool m_mounted = false;
    bool m_unmounted = false;
    // Only the loop thread touches these: the request being registered for interrupts, and whether it was
    // interrupted before it could be handed on.
    fuse_req* m_registering = nullptr;
    bool m_registeringInterrupted = false;
    std::thread m_thread; // last: started after, and joined before, everything above goes
};

} // namespace simulation
