#include "platform/fskit/HostLog.h"

#include <cerrno>

namespace fskit::detail {

void waitForReply(HostLog& log, PendingCall& call) {
    std::unique_lock lock(call.mutex);
    log.clock().waitFor(lock, call.changed, log.replyLimit(), {},
                        [&] { return call.replied || call.abandoned; });
    if (call.replied) {
        return;
    }
    if (call.abandoned) {
        throw Error(std::string(InProcessHostErrorDomain), ENOMSG,
                    call.operation + ": the volume let go of the reply without replying");
    }
    lock.unlock();
    const auto limit = std::to_string(log.replyLimit().count()) + " ms";
    log.recordFault(call.operation, HostFaultKind::noReplyWithinLimit, "no reply within " + limit);
    throw Error(std::string(InProcessHostErrorDomain), ETIMEDOUT,
                call.operation + ": no reply within " + limit);
}

} // namespace fskit::detail
