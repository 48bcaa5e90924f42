#include "platform/foundation/UniqueFd.h"

#include "platform/foundation/Logger.h"

#include <cerrno>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace platform {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int UniqueFd::release() noexcept {
    return std::exchange(m_fd, -1);
}

void UniqueFd::reset(int fd) noexcept {
    if (fd < 0) {
        fd = -1;
    }
    if (fd == m_fd) {
        return;
    }
    const int previous = std::exchange(m_fd, fd);
    if (previous < 0) {
        return;
    }
    // On Linux the descriptor is released even when close() fails (EINTR included), so it is never
    // retried: a retry could close a descriptor that another thread has just been given.
    if (::close(previous) != 0) {
        const int error = errno;
        try {
            oslog::Logger("platform", "fd")
                .error("close(%d) failed: %{public}s", previous, std::system_category().message(error));
        } catch (...) {
            // Out of memory while reporting: nothing more can be done from a destructor.
        }
    }
}

} // namespace platform
