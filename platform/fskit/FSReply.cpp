#include "platform/fskit/FSReply.h"

#include <cstdio>

namespace fskit {

namespace {

std::atomic<std::uint64_t> unhandledFaults{0};

const char* describe(ReplyFaultKind kind) {
    switch (kind) {
    case ReplyFaultKind::repliedTwice:
        return "replied more than once; the extra reply was dropped";
    case ReplyFaultKind::neverReplied:
        return "was never replied to";
    }
    return "has an unknown fault";
}

} // namespace

void reportUnhandledReplyFault(const ReplyFault& fault) noexcept {
    unhandledFaults.fetch_add(1);
    std::fprintf(stderr, "fskit: %s %s\n", fault.operation.c_str(), describe(fault.kind));
}

std::uint64_t unhandledReplyFaultCount() noexcept {
    return unhandledFaults.load();
}

namespace detail {

ReplyAudit::ReplyAudit(std::string operation, ReplyFaultHandler onFault)
    : m_operation(std::move(operation)), m_onFault(std::move(onFault)) {}

ReplyAudit::~ReplyAudit() {
    if (!m_replied.load()) {
        report(ReplyFaultKind::neverReplied);
    }
}

bool ReplyAudit::claim() noexcept {
    if (m_replied.exchange(true)) {
        report(ReplyFaultKind::repliedTwice);
        return false;
    }
    return true;
}

void ReplyAudit::report(ReplyFaultKind kind) const noexcept {
    const ReplyFault fault{m_operation, kind};
    if (!m_onFault) {
        reportUnhandledReplyFault(fault);
        return;
    }
    try {
        m_onFault(fault);
    } catch (...) {
        // A fault handler that throws must not take the replying thread down; keep the fault visible.
        reportUnhandledReplyFault(fault);
    }
}

} // namespace detail

} // namespace fskit
