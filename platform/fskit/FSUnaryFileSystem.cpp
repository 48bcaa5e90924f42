#include "platform/fskit/FSUnaryFileSystem.h"

namespace fskit {

FSContainerStatus FSUnaryFileSystem::containerStatus() const {
    std::lock_guard guard(m_statusLock);
    return m_containerStatus;
}

void FSUnaryFileSystem::setContainerStatus(FSContainerStatus status) {
    std::lock_guard guard(m_statusLock);
    m_containerStatus = std::move(status);
}

} // namespace fskit
