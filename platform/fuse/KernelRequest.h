#pragma once

#include "platform/foundation/Clock.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <fuse_lowlevel.h>
#include <map>
#include <memory>
#include <mutex>

namespace fusehost {

class KernelRequestRegistry;

/// One request of the kernel that still needs its answer. It is answered exactly once: by the volume's
/// reply, by a failure along the way, or, when the last reference goes without an answer, with EIO, so
/// the kernel never waits for a reply that nobody will send. Copies of the shared pointer travel with the
/// volume's replies; any thread may answer.
class KernelRequest {
public:
    /// Sends the error reply (fuse_reply_err by default; tests give their own).
    using ErrorSender = int (*)(fuse_req_t, int);

    KernelRequest(std::shared_ptr<KernelRequestRegistry> registry, fuse_req_t request, std::uint64_t id);
    KernelRequest(const KernelRequest&) = delete;
    KernelRequest& operator=(const KernelRequest&) = delete;
    /// Answers EIO when nothing answered before.
    ~KernelRequest();

    /// True once an answer was sent or the registry took the request over at shutdown; later answers
    /// are dropped, and a volume reply that comes then must not start further work.
    bool isSettled() const;

    /// Runs send(request) when the request is still unanswered and returns what it returned (the
    /// fuse_reply_* result); returns -ECANCELED without calling it otherwise. send must not throw.
    template <typename Send> int answer(Send&& send);
    /// Answers with an errno value (never 0: that would claim success without a result).
    void fail(int error);

private:
    bool claim();
    void finished();

    const std::shared_ptr<KernelRequestRegistry> m_registry;
    const fuse_req_t m_request;
    const std::uint64_t m_id;
};

/// Every unanswered kernel request of one session. At shutdown, after the kernel connection has ended,
/// settleAll answers what is left so that libfuse frees it, and waits for answers already being sent, so
/// the session can be destroyed with no reply on its way into it.
class KernelRequestRegistry : public std::enable_shared_from_this<KernelRequestRegistry> {
public:
    explicit KernelRequestRegistry(KernelRequest::ErrorSender sendError = &fuse_reply_err);

    std::shared_ptr<KernelRequest> begin(fuse_req_t request);

    /// Answers every unanswered request with the error and waits (at most limit, on the clock) until no
    /// answer is being sent. Returns false when that wait ran out.
    bool settleAll(int error, platform::Clock& clock, std::chrono::milliseconds limit);

    /// Requests begun and not yet answered.
    std::size_t outstanding() const;

private:
    friend class KernelRequest;

    enum class State { waiting, sending };

    const KernelRequest::ErrorSender m_sendError;
    mutable std::mutex m_mutex; // guards the fields below; never held while a reply is sent
    std::condition_variable_any m_changed;
    std::map<std::uint64_t, State> m_requests; // by request id; answered requests are removed
    std::map<std::uint64_t, fuse_req_t> m_handles;
    std::size_t m_sending = 0;
    std::uint64_t m_nextID = 1;
};

template <typename Send> int KernelRequest::answer(Send&& send) {
    if (!claim()) {
        return -ECANCELED;
    }
    const int result = send(m_request);
    finished();
    return result;
}

} // namespace fusehost
