#pragma once

#include "platform/fuse/InodeTable.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

struct fuse_session;

namespace fusehost {

/// How a notifier's thread ends: joined once it has sent what was queued, or left running unjoined.
enum class KernelNotifierEnd { join, abandon };

/// Tells the kernel to drop what it caches of a node's attributes and pages, or of a name in a folder, on
/// a thread of its own. The kernel takes a folder's lock to drop a name, and a request that holds that
/// lock waits for the volume's answer: sent from the thread that answers, the notice would wait for
/// itself. Notices for nodes the kernel has let go meanwhile are dropped by the kernel.
class KernelNotifier {
public:
    /// Starts the thread; the session must outlive stop().
    explicit KernelNotifier(fuse_session* session);
    /// stop().
    ~KernelNotifier();
    KernelNotifier(const KernelNotifier&) = delete;
    KernelNotifier& operator=(const KernelNotifier&) = delete;

    /// Queues the notices; any thread, never waits for the kernel.
    void itemChanged(NodeID node);
    void nameChanged(NodeID folder, std::string name);
    /// Sends what is queued, then ends the thread. Waits for a notice the kernel holds up until the request
    /// that holds the folder's lock has been answered.
    void stop();
    /// Lets the thread run on unjoined, for a session that is left behind because its serving never ended.
    void abandon();

private:
    struct Notice {
        NodeID node = 0;
        std::string name; // empty: the node's attributes and pages; else the name in the folder node
    };

    void run(std::stop_token stop);

    fuse_session* const m_session;
    std::mutex m_lock; // guards m_queue; never held across a notice
    std::condition_variable_any m_queued;
    std::deque<Notice> m_queue;
    std::jthread m_thread;
};

} // namespace fusehost
