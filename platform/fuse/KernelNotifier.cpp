#include "platform/fuse/KernelNotifier.h"

#include <fuse_lowlevel.h>

namespace fusehost {

KernelNotifier::KernelNotifier(fuse_session* session)
    : m_session(session), m_thread([this](std::stop_token stop) { run(std::move(stop)); }) {}

KernelNotifier::~KernelNotifier() {
    stop();
}

void KernelNotifier::itemChanged(NodeID node) {
    {
        std::lock_guard guard(m_lock);
        m_queue.push_back({node, {}});
    }
    m_queued.notify_one();
}

void KernelNotifier::nameChanged(NodeID folder, std::string name) {
    if (name.empty()) {
        return;
    }
    {
        std::lock_guard guard(m_lock);
        m_queue.push_back({folder, std::move(name)});
    }
    m_queued.notify_one();
}

void KernelNotifier::stop() {
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

void KernelNotifier::abandon() {
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.detach();
    }
}

void KernelNotifier::run(std::stop_token stop) {
    while (true) {
        Notice notice;
        {
            std::unique_lock lock(m_lock);
            // Untimed: the thread sleeps until there is work or it is stopped.
            m_queued.wait(lock, stop, [&] { return !m_queue.empty(); });
            if (m_queue.empty()) {
                return;
            }
            notice = std::move(m_queue.front());
            m_queue.pop_front();
        }
        // The results are ignored on purpose: ENOENT means the kernel no longer holds the node or the
        // name, and any other failure (the connection ended) leaves nothing cached to drop.
        if (notice.name.empty()) {
            static_cast<void>(fuse_lowlevel_notify_inval_inode(m_session, notice.node, 0, 0));
        } else {
            static_cast<void>(fuse_lowlevel_notify_inval_entry(m_session, notice.node, notice.name.c_str(),
                                                               notice.name.size()));
        }
    }
}

} // namespace fusehost
