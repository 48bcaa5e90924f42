#pragma once

// The reply plumbing that VolumeBridge's two source files share; included by them only.

#include "platform/fskit/Error.h"
#include "platform/fuse/VolumeBridge.h"

#include <exception>
#include <string_view>

namespace fusehost::detail {

[[noreturn]] inline void refuse(int code) {
    throw fskit::fs_errorForPOSIXError(code);
}

/// A name from the kernel as the volume's file name; the kernel never sends an empty one.
inline fskit::FSFileName fileNameOf(const char* name) {
    return fskit::FSFileName(name != nullptr ? std::string_view(name) : std::string_view());
}

/// The identifier the attributes give the item, or none.
inline fskit::FSItemID fileIDOf(const fskit::FSItemAttributes& attributes) {
    return attributes.isValid(fskit::FSItemAttribute::fileID) ? attributes.fileID() : fskit::FSItemIDInvalid;
}

} // namespace fusehost::detail

namespace fusehost {

template <typename Body> void VolumeBridge::serve(fuse_req_t request, Body body) noexcept {
    std::shared_ptr<KernelRequest> pending;
    try {
        pending = m_requests->begin(request);
    } catch (...) {
        fuse_reply_err(request, ENOMEM);
        return;
    }
    try {
        body(pending);
    } catch (...) {
        pending->fail(errnoOf(std::current_exception()));
    }
}

template <typename ReplyType, typename Handler>
ReplyType VolumeBridge::replyFor(const std::shared_ptr<KernelRequest>& request, const char* operation,
                                 Handler handler) {
    return ReplyType(
        operation,
        [self = shared_from_this(), request, handler = std::move(handler)](auto... arguments) mutable {
            // A request that shutdown answered already must not start more work in the volume.
            if (request->isSettled()) {
                return;
            }
            try {
                handler(std::move(arguments)...);
            } catch (...) {
                request->fail(errnoOf(std::current_exception()));
            }
        },
        [log = m_log, request](const fskit::ReplyFault& fault) {
            if (fault.kind == fskit::ReplyFaultKind::neverReplied) {
                log.fault("%{public}s let its reply go unanswered; answering EIO", fault.operation);
                request->fail(EIO);
            } else {
                log.fault("%{public}s replied more than once; the extra reply was dropped", fault.operation);
            }
        });
}

template <typename Answer>
fskit::ItemNameReply VolumeBridge::itemReply(const std::shared_ptr<KernelRequest>& request,
                                             const char* operation, Answer answer) {
    return replyFor<fskit::ItemNameReply>(
        request, operation,
        [answer = std::move(answer)](std::shared_ptr<fskit::FSItem> item, std::optional<fskit::FSFileName>,
                                     std::optional<fskit::Error> error) mutable {
            if (error) {
                throw *error;
            }
            if (!item) {
                detail::refuse(EIO);
            }
            answer(std::move(item));
        });
}

template <typename Answer>
void VolumeBridge::withAttributes(const std::shared_ptr<KernelRequest>& request,
                                  std::shared_ptr<fskit::FSItem> item, Answer answer) {
    auto reply = replyFor<fskit::AttributesReply>(
        request, "getAttributes",
        [answer = std::move(answer)](std::optional<fskit::FSItemAttributes> attributes,
                                     std::optional<fskit::Error> error) mutable {
            if (error) {
                throw *error;
            }
            if (!attributes) {
                detail::refuse(EIO);
            }
            answer(std::move(*attributes));
        });
    m_operations->getAttributes(fskit::FSItemGetAttributesRequest(), std::move(item), reply);
}

} // namespace fusehost
