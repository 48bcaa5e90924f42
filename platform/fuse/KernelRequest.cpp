#include "platform/fuse/KernelRequest.h"

#include <cerrno>
#include <utility>
#include <vector>

namespace fusehost {

KernelRequest::KernelRequest(std::shared_ptr<KernelRequestRegistry> registry, fuse_req_t request,
                             std::uint64_t id)
    : m_registry(std::move(registry)), m_request(request), m_id(id) {}

KernelRequest::~KernelRequest() {
    fail(EIO);
}

bool KernelRequest::isSettled() const {
    std::lock_guard guard(m_registry->m_mutex);
    const auto found = m_registry->m_requests.find(m_id);
    return found == m_registry->m_requests.end() || found->second != KernelRequestRegistry::State::waiting;
}

bool KernelRequest::claim() {
    std::lock_guard guard(m_registry->m_mutex);
    const auto found = m_registry->m_requests.find(m_id);
    if (found == m_registry->m_requests.end() || found->second != KernelRequestRegistry::State::waiting) {
        return false;
    }
    found->second = KernelRequestRegistry::State::sending;
    ++m_registry->m_sending;
    return true;
}

void KernelRequest::finished() {
    {
        std::lock_guard guard(m_registry->m_mutex);
        m_registry->m_requests.erase(m_id);
        m_registry->m_handles.erase(m_id);
        --m_registry->m_sending;
    }
    m_registry->m_changed.notify_all();
}

void KernelRequest::fail(int error) {
    const auto sendError = m_registry->m_sendError;
    answer([&](fuse_req_t request) { return sendError(request, error > 0 ? error : EIO); });
}

KernelRequestRegistry::KernelRequestRegistry(KernelRequest::ErrorSender sendError) : m_sendError(sendError) {}

std::shared_ptr<KernelRequest> KernelRequestRegistry::begin(fuse_req_t request) {
    std::uint64_t id = 0;
    {
        std::lock_guard guard(m_mutex);
        id = m_nextID++;
        m_requests.emplace(id, State::waiting);
        m_handles.emplace(id, request);
    }
    return std::make_shared<KernelRequest>(shared_from_this(), request, id);
}

bool KernelRequestRegistry::settleAll(int error, platform::Clock& clock, std::chrono::milliseconds limit) {
    std::vector<fuse_req_t> unanswered;
    {
        // A request that is no longer in the table reads as settled, so taking it out is what keeps a
        // late volume reply from answering it a second time.
        std::lock_guard guard(m_mutex);
        for (auto entry = m_requests.begin(); entry != m_requests.end();) {
            if (entry->second == State::waiting) {
                unanswered.push_back(m_handles.at(entry->first));
                m_handles.erase(entry->first);
                entry = m_requests.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    for (auto* request : unanswered) {
        m_sendError(request, error);
    }
    std::unique_lock lock(m_mutex);
    return clock.waitFor(lock, m_changed, limit, {}, [&] { return m_sending == 0; });
}

std::size_t KernelRequestRegistry::outstanding() const {
    std::lock_guard guard(m_mutex);
    return m_requests.size();
}

} // namespace fusehost
