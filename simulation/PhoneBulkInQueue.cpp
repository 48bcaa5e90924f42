#include "simulation/PhoneBulkInQueue.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace simulation {

void PhoneBulkInQueue::push(Write write) {
    m_writes.push_back(std::move(write));
}

void PhoneBulkInQueue::clear() noexcept {
    m_writes.clear();
    m_frontConsumed = 0;
}

std::uint64_t PhoneBulkInQueue::nextPieceSize() const noexcept {
    if (m_writes.empty() || m_writes.front().marker != Write::Marker::none) {
        return 0;
    }
    return std::min<std::uint64_t>(pieceLimit, m_writes.front().size() - m_frontConsumed);
}

void PhoneBulkInQueue::copyOut(const Write& write, std::uint64_t offset, std::span<std::byte> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const std::uint64_t position = offset + done;
        const std::size_t left = out.size() - done;
        if (position < write.prefix.size()) {
            const std::size_t count = std::min<std::size_t>(left, write.prefix.size() - position);
            std::memcpy(out.data() + done, write.prefix.data() + position, count);
            done += count;
        } else if (position < write.prefix.size() + write.sourceLength) {
            const std::uint64_t inSource = position - write.prefix.size();
            const auto count =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, write.sourceLength - inSource));
            write.source(inSource, out.subspan(done, count));
            done += count;
        } else {
            const auto inSuffix =
                static_cast<std::size_t>(position - write.prefix.size() - write.sourceLength);
            const std::size_t count = std::min(left, write.suffix.size() - inSuffix);
            std::memcpy(out.data() + done, write.suffix.data() + inSuffix, count);
            done += count;
        }
    }
}

PhoneBulkInQueue::Piece PhoneBulkInQueue::next() {
    Write& front = m_writes.front();
    Piece piece;
    const auto finish = [&] {
        piece.ends = front.ends;
        m_writes.pop_front();
        m_frontConsumed = 0;
    };
    if (front.marker != Write::Marker::none) {
        piece.reply = usb::InReply::of(front.marker == Write::Marker::stall ? usb::Reply::stall
                                                                            : usb::Reply::disconnect);
        finish();
        return piece;
    }
    const std::uint64_t total = front.size();
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(pieceLimit, total - m_frontConsumed));
    std::vector<std::byte> bytes(take);
    copyOut(front, m_frontConsumed, bytes);
    m_frontConsumed += take;
    // A piece that is not the write's last is a whole number of packets, so it must not end the host's
    // read: the write runs on in the next piece.
    auto zlp = usb::InTransfer::ZeroLengthPacket::never;
    if (m_frontConsumed == total) {
        if (front.zeroLengthPacketWhenAligned) {
            zlp = usb::InTransfer::ZeroLengthPacket::whenAligned;
        }
        piece.reply = usb::InReply::send(std::move(bytes), zlp);
        finish();
    } else {
        piece.reply = usb::InReply::send(std::move(bytes), zlp);
    }
    return piece;
}

} // namespace simulation
