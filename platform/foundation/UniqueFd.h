#pragma once

namespace platform {

/// The owner of one file descriptor: closes it when destroyed, moves but never copies.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    /// Takes ownership of fd; a negative value means "none".
    explicit UniqueFd(int fd) noexcept : m_fd(fd < 0 ? -1 : fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    /// Closes what this owner held and takes the other's descriptor. A self-move changes nothing.
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return m_fd; }
    bool valid() const noexcept { return m_fd >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    /// Gives up ownership without closing; returns the descriptor (or -1).
    int release() noexcept;
    /// Closes the held descriptor, unless it is fd itself, and takes fd. A failed close() is logged.
    void reset(int fd = -1) noexcept;

private:
    int m_fd = -1;
};

} // namespace platform
