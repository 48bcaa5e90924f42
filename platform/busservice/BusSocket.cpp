#include "platform/busservice/BusSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace busservice {

namespace {

BusProtocolError systemError(const std::string& what, int error) {
    return BusProtocolError(what + ": " + std::strerror(error));
}

// Bodies are read in pieces of at most this much, so memory follows the bytes that arrive.
constexpr std::size_t bodyPiece = 1u << 20;

sockaddr_un addressOf(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.empty() || text.size() >= sizeof address.sun_path) {
        throw BusProtocolError("the socket path \"" + text + "\" is empty or too long");
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

platform::UniqueFd newSocket() {
    platform::UniqueFd descriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!descriptor) {
        throw systemError("socket", errno);
    }
    return descriptor;
}

// A transfer's megabyte crosses in a few large steps instead of many small ones when the socket may hold
// more than its default; the system caps the size as it sees fit, and a refusal only costs speed.
void widenBuffer(int descriptor) {
    constexpr int size = 4 << 20;
    ::setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

} // namespace

std::filesystem::path defaultSocketPath(const platform::Environment& environment) {
    const auto runtime = environment.value("XDG_RUNTIME_DIR");
    // A relative runtime folder is not one: the variable is ignored, as the desktop's rules say.
    if (runtime && !runtime->empty() && runtime->front() == '/') {
        return std::filesystem::path(*runtime) / "tandalo" / "usb-bus.sock";
    }
    return std::filesystem::path("/tmp") / ("tandalo-" + std::to_string(::getuid())) / "usb-bus.sock";
}

BusSocket BusSocket::connect(const std::filesystem::path& path) {
    const auto address = addressOf(path);
    auto descriptor = newSocket();
    int result = 0;
    do {
        result = ::connect(descriptor.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        throw systemError("connect to " + path.string(), errno);
    }
    widenBuffer(descriptor.get());
    return BusSocket(std::move(descriptor));
}

BusSocket BusSocket::listen(const std::filesystem::path& path) {
    const auto address = addressOf(path);
    auto descriptor = newSocket();
    if (::bind(descriptor.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw systemError("cannot listen at " + path.string(), errno);
    }
    // The socket's folder is private to the user as well; this keeps a socket in any other folder private.
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(descriptor.get(), 64) != 0) {
        const int error = errno;
        ::unlink(path.c_str());
        throw systemError("cannot listen at " + path.string(), error);
    }
    return BusSocket(std::move(descriptor));
}

void BusSocket::send(const FrameHeader& header, std::initializer_list<std::span<const std::byte>> body) {
    const auto headerBytes = header.encode();
    std::vector<iovec> pieces;
    pieces.reserve(body.size() + 1);
    pieces.push_back({const_cast<std::byte*>(headerBytes.data()), headerBytes.size()});
    for (const auto& piece : body) {
        if (!piece.empty()) {
            pieces.push_back({const_cast<std::byte*>(piece.data()), piece.size()});
        }
    }
    std::size_t first = 0;
    while (first < pieces.size()) {
        msghdr message{};
        message.msg_iov = pieces.data() + first;
        message.msg_iovlen = pieces.size() - first;
        const auto sent = ::sendmsg(m_descriptor.get(), &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw systemError("send", errno);
        }
        // Skip what went out; a piece sent in part goes on from where it stopped.
        auto left = static_cast<std::size_t>(sent);
        while (first < pieces.size() && left >= pieces[first].iov_len) {
            left -= pieces[first].iov_len;
            ++first;
        }
        if (first < pieces.size()) {
            pieces[first].iov_base = static_cast<std::byte*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
}

std::optional<BusSocket> BusSocket::accept() {
    platform::UniqueFd accepted(::accept4(m_descriptor.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!accepted) {
        return std::nullopt;
    }
    widenBuffer(accepted.get());
    return BusSocket(std::move(accepted));
}

bool BusSocket::receive(std::span<std::byte> buffer) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const auto got = ::recv(m_descriptor.get(), buffer.data() + filled, buffer.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                throw BusProtocolError("receive: no answer within the time allowed");
            }
            throw systemError("receive", errno);
        }
        if (got == 0) {
            if (filled == 0) {
                return false;
            }
            throw BusProtocolError("the connection closed in the middle of a message");
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

void BusSocket::setReceiveLimit(std::chrono::milliseconds limit) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit);
    const timeval value{static_cast<time_t>(seconds.count()),
                        static_cast<suseconds_t>((limit - seconds).count() * 1000)};
    if (::setsockopt(m_descriptor.get(), SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0) {
        throw systemError("setsockopt SO_RCVTIMEO", errno);
    }
}

std::optional<FrameHeader> BusSocket::receiveHeader() {
    std::array<std::byte, FrameHeader::size> bytes{};
    if (!receive(bytes)) {
        return std::nullopt;
    }
    return FrameHeader::decode(bytes);
}

std::vector<std::byte> BusSocket::receiveBody(std::size_t length, std::vector<std::byte> reuse) {
    std::vector<std::byte> body = std::move(reuse);
    body.clear();
    while (body.size() < length) {
        const auto at = body.size();
        // What the memory at hand holds is read in one step; beyond it, a piece at a time.
        const auto room = body.capacity() > at ? body.capacity() - at : 0;
        body.resize(at + std::min(std::max(bodyPiece, room), length - at));
        if (!receive(std::span(body).subspan(at))) {
            throw BusProtocolError("the connection closed in the middle of a message");
        }
    }
    return body;
}

PeerCredentials BusSocket::peerCredentials() const {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(m_descriptor.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        throw systemError("SO_PEERCRED", errno);
    }
    return {credentials.pid, credentials.uid};
}

void BusSocket::shutdown() noexcept {
    if (m_descriptor) {
        ::shutdown(m_descriptor.get(), SHUT_RDWR);
    }
}

} // namespace busservice
