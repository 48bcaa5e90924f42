#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace fskit {

enum class ReplyFaultKind {
    repliedTwice, // a second reply came after the first; it was not delivered
    neverReplied, // the last copy of the reply object went away without a reply
};

struct ReplyFault {
    std::string operation;
    ReplyFaultKind kind;
};

using ReplyFaultHandler = std::function<void(const ReplyFault&)>;

/// Where faults of replies made without their own fault handler go: one line on standard error, and a
/// process-wide count that tests can read.
void reportUnhandledReplyFault(const ReplyFault& fault) noexcept;
std::uint64_t unhandledReplyFaultCount() noexcept;

namespace detail {

/// The exactly-once bookkeeping shared by all copies of one reply.
class ReplyAudit {
public:
    ReplyAudit(std::string operation, ReplyFaultHandler onFault);
    ReplyAudit(const ReplyAudit&) = delete;
    ReplyAudit& operator=(const ReplyAudit&) = delete;
    /// Reports neverReplied when no reply was made.
    ~ReplyAudit();

    /// True for the first caller only; every later caller is reported as repliedTwice.
    bool claim() noexcept;
    const std::string& operation() const noexcept { return m_operation; }

private:
    void report(ReplyFaultKind kind) const noexcept;

    std::string m_operation;
    ReplyFaultHandler m_onFault;
    std::atomic<bool> m_replied{false};
};

} // namespace detail

/// A reply handler that must be called exactly once. Copies share one reply, so a volume may hand it to
/// the task that finishes the work; the first call is delivered, later ones are dropped and reported,
/// and a reply that is never made is reported when its last copy is destroyed. Any thread may reply.
/// The handler runs on the replying thread and must not throw.
template <typename... Args> class Reply {
public:
    using Handler = std::function<void(Args...)>;

    /// onFault receives the faults of this reply; without one they go to reportUnhandledReplyFault.
    Reply(std::string operation, Handler handler, ReplyFaultHandler onFault = {})
        : m_state(std::make_shared<State>(std::move(operation), std::move(handler), std::move(onFault))) {}
    // No move operations: a moved-from reply stays a valid copy, so calling it is reported, not a crash.
    Reply(const Reply&) = default;
    Reply& operator=(const Reply&) = default;

    void operator()(Args... args) const noexcept {
        if (!m_state->claim()) {
            return;
        }
        // Only the claiming caller touches the handler, so no lock is needed; moving it out releases
        // whatever it captured as soon as the reply is delivered.
        Handler handler = std::move(m_state->handler);
        if (handler) {
            handler(std::move(args)...);
        }
    }

    const std::string& operation() const noexcept { return m_state->operation(); }

private:
    struct State : detail::ReplyAudit {
        State(std::string operation, Handler handlerIn, ReplyFaultHandler onFault)
            : ReplyAudit(std::move(operation), std::move(onFault)), handler(std::move(handlerIn)) {}
        Handler handler;
    };

    std::shared_ptr<State> m_state; // never null
};

} // namespace fskit
