// How the phone answers a transaction that is ready: it carries the operation out (or lets a fault answer
// instead) and queues the data container and the response on bulk-IN, shaped by the injected faults.

#include "simulation/SimulatedPhone.h"

#include "Corvane/wire/PTPContainer.h"
#include "simulation/SimulatedPhoneState.h"

#include <algorithm>

namespace simulation {

using corvane::PTPContainer;

namespace {

std::vector<std::byte> responseBytes(std::uint16_t code, std::uint32_t transactionID,
                                     const std::vector<std::uint32_t>& params) {
    return PTPContainer(PTPContainer::Kind::response, code, transactionID, std::span(params)).encoded();
}

} // namespace

void SimulatedPhone::executeLocked(Active& active) {
    PhoneTransaction& entry = entryLocked(active);
    if (hasFaultLocked(active, PhoneFault::Kind::silence)) {
        entry.note = "silent";
        finishDataOutTargetLocked(active, false);
        m_active.reset();
        return;
    }
    Reply reply;
    if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::respond)) {
        reply = Reply::error(fault->responseCode);
        finishDataOutTargetLocked(active, false);
    } else if (active.refusal) {
        reply = Reply::error(*active.refusal);
        finishDataOutTargetLocked(active, false);
    } else {
        reply = performLocked(active);
    }
    active.phase = Active::Phase::answering;
    queueReplyLocked(active, std::move(reply));
}

void SimulatedPhone::queueReplyLocked(Active& active, Reply reply) {
    PhoneTransaction& entry = entryLocked(active);
    const std::size_t entryIndex = active.entry;
    using Write = PhoneBulkInQueue::Write;

    if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::responseParams)) {
        reply.params = fault->params;
    }
    auto pushMarker = [&](Write::Marker marker) {
        Write write;
        write.marker = marker;
        write.ends = entryIndex;
        m_in.push(std::move(write));
        entry.note =
            marker == Write::Marker::stall ? "stalled bulk-IN" : "disconnected during the data phase";
    };
    auto pushEmptyPackets = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            m_in.push(Write{});
        }
    };

    // Where the data container breaks: empty packets inside it, or the point where the phone stalls or
    // leaves. Positions count payload bytes; 0 is before the container.
    struct Break {
        std::uint64_t payloadBytes = 0;
        std::size_t emptyPackets = 0;
        std::optional<Write::Marker> marker;
    };
    std::vector<Break> breaks;
    for (const PhoneFault& fault : active.faults) {
        if (fault.kind == PhoneFault::Kind::emptyPackets) {
            breaks.push_back({fault.byteCount, fault.count, std::nullopt});
        } else if (fault.kind == PhoneFault::Kind::stallIn) {
            breaks.push_back({fault.byteCount, 0, Write::Marker::stall});
        } else if (fault.kind == PhoneFault::Kind::disconnect) {
            breaks.push_back({fault.byteCount, 0, Write::Marker::disconnect});
        }
    }
    std::stable_sort(breaks.begin(), breaks.end(),
                     [](const Break& a, const Break& b) { return a.payloadBytes < b.payloadBytes; });

    if (reply.hasData) {
        if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::transformData);
            fault && fault->transform) {
            if (reply.fromObject) {
                const PhoneObject* object = m_store.find(reply.objectHandle);
                reply.data = object ? object->content.read(reply.objectOffset,
                                                           static_cast<std::size_t>(reply.objectLength))
                                    : std::vector<std::byte>{};
                reply.fromObject = false;
            }
            fault->transform(reply.data);
        }
        std::uint64_t payload = reply.dataSize();
        std::uint64_t announced = payload;
        if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::truncatedDataContainer)) {
            announced += fault->byteCount;
        }
        if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::shortData)) {
            payload = std::min(payload, fault->byteCount);
        }
        std::uint32_t transactionID = active.transactionID;
        if (hasFaultLocked(active, PhoneFault::Kind::wrongDataTransactionID)) {
            ++transactionID;
        }
        const auto header = PTPContainer::header(PTPContainer::Kind::data, active.code, transactionID,
                                                 PTPContainer::lengthField(announced));

        auto container = std::make_shared<Write>();
        container->prefix.assign(header.begin(), header.end());
        container->sourceLength = payload;
        if (reply.fromObject) {
            const std::uint32_t handle = reply.objectHandle;
            const std::uint64_t offset = reply.objectOffset;
            container->source = [this, handle, offset](std::uint64_t at, std::span<std::byte> out) {
                // Read live, under the phone's lock: an object removed meanwhile reads as zeros.
                if (const PhoneObject* object = m_store.find(handle)) {
                    object->content.read(offset + at, out);
                } else {
                    std::fill(out.begin(), out.end(), std::byte{0});
                }
            };
        } else {
            auto bytes = std::make_shared<const std::vector<std::byte>>(std::move(reply.data));
            container->source = [bytes](std::uint64_t at, std::span<std::byte> out) {
                std::copy_n(bytes->begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
            };
        }
        if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::oversizedDataContainer)) {
            container->suffix.assign(static_cast<std::size_t>(fault->byteCount), std::byte{0xEE});
        }
        container->zeroLengthPacketWhenAligned = !hasFaultLocked(active, PhoneFault::Kind::missingZLP);
        const std::uint64_t total = container->size();
        entry.phoneSentData = true;
        entry.dataInBytes = payload;
        entry.phoneSentZLP = container->zeroLengthPacketWhenAligned && total % m_packetSize == 0;

        // Each part is one device transfer over a range of the one container.
        auto pushPart = [&](std::uint64_t from, std::uint64_t to, bool last) {
            if (to <= from) {
                return;
            }
            Write part;
            part.sourceLength = to - from;
            part.source = [container, from](std::uint64_t at, std::span<std::byte> out) {
                PhoneBulkInQueue::copyOut(*container, from + at, out);
            };
            part.zeroLengthPacketWhenAligned = last && container->zeroLengthPacketWhenAligned;
            m_in.push(std::move(part));
        };
        std::uint64_t sent = 0;
        for (const Break& at : breaks) {
            const std::uint64_t position =
                at.payloadBytes == 0 ? 0 : std::min(total, PTPContainer::headerSize + at.payloadBytes);
            if (position > sent) {
                pushPart(sent, position, false);
                sent = position;
            }
            pushEmptyPackets(at.emptyPackets);
            if (at.marker) {
                entry.dataInBytes = sent > PTPContainer::headerSize ? sent - PTPContainer::headerSize : 0;
                entry.phoneSentZLP = false;
                pushMarker(*at.marker);
                return;
            }
        }
        pushPart(sent, total, true);
    } else {
        for (const Break& at : breaks) {
            pushEmptyPackets(at.emptyPackets);
            if (at.marker) {
                pushMarker(*at.marker);
                return;
            }
        }
    }

    if (const PhoneFault* fault = faultLocked(active, PhoneFault::Kind::emptyPacketsBeforeResponse)) {
        for (std::size_t i = 0; i < fault->count; ++i) {
            m_in.push(Write{});
        }
    }
    if (hasFaultLocked(active, PhoneFault::Kind::stallResponse)) {
        pushMarker(Write::Marker::stall);
        return;
    }
    std::uint32_t transactionID = active.transactionID;
    if (hasFaultLocked(active, PhoneFault::Kind::wrongResponseTransactionID)) {
        ++transactionID;
    }
    Write response;
    response.prefix = responseBytes(reply.code, transactionID, reply.params);
    if (hasFaultLocked(active, PhoneFault::Kind::truncatedResponse)) {
        const std::uint32_t length = static_cast<std::uint32_t>(response.prefix.size() + 4);
        for (int i = 0; i < 4; ++i) {
            response.prefix[static_cast<std::size_t>(i)] = static_cast<std::byte>((length >> (8 * i)) & 0xFF);
        }
    }
    response.ends = entryIndex;
    m_in.push(std::move(response));
    entry.responseCode = reply.code;
    entry.responseParams = reply.params;
}

} // namespace simulation
