#pragma once

#include "platform/foundation/Clock.h"
#include "platform/fskit/InProcessHost.h"

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fskit::detail {

/// The host's record, shared with every reply and pending call, so that a reply arriving after the
/// host is gone still has somewhere to go.
class HostLog {
public:
    HostLog(platform::Clock& clock, std::chrono::milliseconds replyLimit)
        : m_clock(clock), m_replyLimit(replyLimit) {}

    platform::Clock& clock() const { return m_clock; }
    std::chrono::milliseconds replyLimit() const { return m_replyLimit; }

    void callStarted() {
        std::lock_guard guard(m_mutex);
        ++m_outstanding;
    }

    void recordReply(const std::string& operation, const std::optional<Error>& error) {
        std::lock_guard guard(m_mutex);
        m_replies.push_back(ReplyRecord{operation, error});
        --m_outstanding;
    }

    void recordDropped(const std::string& operation) {
        std::lock_guard guard(m_mutex);
        m_faults.push_back(
            HostFault{operation, HostFaultKind::neverReplied, "the reply was let go unanswered"});
        --m_outstanding;
    }

    void recordFault(const std::string& operation, HostFaultKind kind, std::string detail) {
        std::lock_guard guard(m_mutex);
        m_faults.push_back(HostFault{operation, kind, std::move(detail)});
    }

    std::vector<ReplyRecord> replies() const {
        std::lock_guard guard(m_mutex);
        return m_replies;
    }

    std::vector<HostFault> faults() const {
        std::lock_guard guard(m_mutex);
        return m_faults;
    }

    std::size_t outstanding() const {
        std::lock_guard guard(m_mutex);
        return m_outstanding;
    }

private:
    platform::Clock& m_clock;
    const std::chrono::milliseconds m_replyLimit;
    mutable std::mutex m_mutex; // guards the three fields below; innermost lock, never held across a call
    std::vector<ReplyRecord> m_replies;
    std::vector<HostFault> m_faults;
    std::size_t m_outstanding = 0;
};

} // namespace fskit::detail
