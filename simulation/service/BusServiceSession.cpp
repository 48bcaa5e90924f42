#include "simulation/service/BusServiceSession.h"

#include "platform/foundation/Logger.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace simulation {

namespace {

using busservice::BusProtocolError;
using busservice::FrameHeader;
using busservice::MessageKind;
using busservice::MessageReader;
using busservice::MessageWriter;

// The session whose worker the current thread is, if any.
thread_local const BusServiceSession* workerOf = nullptr;

// The memory of large transfers is kept for the next ones once their replies are out (reads) or the bus
// has taken their bytes (writes): a reader or writer that goes on chunk after chunk finds memory already
// mapped, where a fresh megabyte costs a page fault for every page, which on a loaded machine takes
// longer than the link needs for the bytes, and the link idles meanwhile. A few transfers run at once
// per client; small ones are cheap either way, and one larger than the library's chunks is not worth
// holding.
constexpr std::size_t spareTransferCount = 4;
constexpr std::size_t smallestSpareTransfer = 64u << 10;
constexpr std::size_t largestSpareTransfer = 8u << 20;

oslog::Logger serviceLog() {
    return oslog::Logger("com.brenwick.Tandalo.bus", "service");
}

} // namespace

BusServiceSession::BusServiceSession(busservice::BusSocket socket, SimulatedBus& bus,
                                     const BusCommandHandler& commands, usb::ProcessIdentity client,
                                     BusService::Limits limits, std::function<void()> onFinished)
    : m_socket(std::move(socket)), m_bus(bus), m_commands(commands), m_client(std::move(client)),
      m_limits(limits), m_onFinished(std::move(onFinished)) {}

BusServiceSession::~BusServiceSession() {
    stop();
    join();
}

void BusServiceSession::start() {
    m_writer = std::thread([this] { runWriter(); });
    m_reader = std::thread([this] { read(); });
}

void BusServiceSession::stop() noexcept {
    m_socket.shutdown();
}

bool BusServiceSession::finished() const {
    std::lock_guard guard(m_mutex);
    return m_finished;
}

void BusServiceSession::join() {
    if (m_reader.joinable()) {
        m_reader.join();
    }
}

// --- Reading requests --------------------------------------------------------------------------------

void BusServiceSession::read() noexcept {
    try {
        greet();
        while (const auto header = m_socket.receiveHeader()) {
            auto body = m_socket.receiveBody(header->bodyLength, takeSpareBody(header->bodyLength));
            handle(*header, std::move(body));
        }
    } catch (const std::exception& error) {
        serviceLog().error("dropping the client %{public}s: %{public}s", m_client.ownerText(), error.what());
    }
    tearDown();
    {
        std::lock_guard guard(m_mutex);
        m_finished = true;
    }
    m_onFinished();
}

void BusServiceSession::greet() {
    const auto header = m_socket.receiveHeader();
    if (!header) {
        throw BusProtocolError("it left before greeting");
    }
    if (header->kind != MessageKind::hello) {
        throw BusProtocolError("it began with " + busservice::name(header->kind) + " instead of a greeting");
    }
    const auto body = m_socket.receiveBody(header->bodyLength);
    MessageReader reader(body);
    const auto [magic, version] = reader.readAll<std::string, std::uint16_t>();
    reader.finish();
    if (magic != busservice::protocolMagic || version != busservice::protocolVersion) {
        throw BusProtocolError("it speaks another protocol (version " + std::to_string(version) + ")");
    }
    MessageWriter hello;
    hello.write(busservice::protocolMagic, busservice::protocolVersion);
    reply(header->request, std::move(hello));
}

void BusServiceSession::handle(const FrameHeader& header, std::vector<std::byte> body) {
    const auto request = header.request;
    const auto kind = header.kind;
    MessageReader reader(body);
    switch (kind) {
    case MessageKind::matchingEntries: {
        const auto className = reader.read<std::string>();
        reader.finish();
        answer(request, kind, [&](MessageWriter& out) { out.write(m_bus.matchingEntries(className)); });
        return;
    }
    case MessageKind::entry: {
        const auto id = reader.read<usb::RegistryEntryID>();
        reader.finish();
        answer(request, kind, [&](MessageWriter& out) { out.write(m_bus.entry(id)); });
        return;
    }
    case MessageKind::children: {
        const auto id = reader.read<usb::RegistryEntryID>();
        reader.finish();
        answer(request, kind, [&](MessageWriter& out) { out.write(m_bus.children(id)); });
        return;
    }
    case MessageKind::property: {
        const auto [id, key] = reader.readAll<usb::RegistryEntryID, std::string>();
        reader.finish();
        answer(request, kind, [&](MessageWriter& out) { out.write(m_bus.property(id, key)); });
        return;
    }
    case MessageKind::subscribe:
        subscribe(request, reader);
        return;
    case MessageKind::unsubscribe: {
        const auto subscription = reader.read<std::uint64_t>();
        reader.finish();
        std::optional<usb::SubscriptionID> busID;
        {
            std::lock_guard guard(m_mutex);
            if (const auto found = m_subscriptions.find(subscription); found != m_subscriptions.end()) {
                busID = found->second.busID;
                m_subscriptions.erase(found);
            }
        }
        if (busID) {
            m_bus.unsubscribe(*busID);
        }
        reply(request, {});
        return;
    }
    case MessageKind::open: {
        const auto [id, mode] = reader.readAll<usb::RegistryEntryID, usb::OpenMode>();
        reader.finish();
        answer(request, kind, [&](MessageWriter& out) {
            const auto handle = m_bus.open(id, mode, m_client);
            {
                std::lock_guard guard(m_mutex);
                m_handles.insert(handle);
            }
            out.write(handle);
        });
        return;
    }
    case MessageKind::close: {
        const auto handle = reader.read<usb::HandleID>();
        reader.finish();
        bool owned = false;
        {
            std::lock_guard guard(m_mutex);
            owned = m_handles.erase(handle) > 0;
        }
        if (owned) {
            m_bus.close(handle);
        }
        reply(request, {});
        return;
    }
    case MessageKind::endpoints: {
        const auto id = reader.read<usb::RegistryEntryID>();
        reader.finish();
        answer(request, kind, [&](MessageWriter& out) { out.write(m_bus.endpoints(id)); });
        return;
    }
    case MessageKind::clearStall:
    case MessageKind::abortPipe: {
        const auto [handle, endpoint] = reader.readAll<usb::HandleID, std::uint8_t>();
        reader.finish();
        if (!owns(handle)) {
            fail(request, usb::Status::notOpen, kind);
        } else if (kind == MessageKind::clearStall) {
            answer(request, kind, [&](MessageWriter&) { m_bus.clearStall(handle, endpoint); });
        } else {
            answer(request, kind, [&](MessageWriter&) { m_bus.abortPipe(handle, endpoint); });
        }
        return;
    }
    case MessageKind::configuration: {
        const auto handle = reader.read<usb::HandleID>();
        reader.finish();
        if (!owns(handle)) {
            fail(request, usb::Status::notOpen, kind);
        } else {
            answer(request, kind, [&](MessageWriter& out) { out.write(m_bus.configuration(handle)); });
        }
        return;
    }
    case MessageKind::setConfiguration: {
        const auto [handle, value] = reader.readAll<usb::HandleID, std::uint8_t>();
        reader.finish();
        if (!owns(handle)) {
            fail(request, usb::Status::notOpen, kind);
        } else {
            answer(request, kind, [&](MessageWriter&) { m_bus.setConfiguration(handle, value); });
        }
        return;
    }
    case MessageKind::readPipe: {
        const auto [handle, endpoint, length, timeout] =
            reader.readAll<usb::HandleID, std::uint8_t, std::uint64_t, usb::Timeout>();
        reader.finish();
        if (length > busservice::maximumTransferSize) {
            throw BusProtocolError("a read of " + std::to_string(length) + " bytes is beyond the limit");
        }
        if (!owns(handle)) {
            fail(request, usb::Status::notOpen, kind);
            return;
        }
        schedule([this, request, handle, endpoint, length, timeout] {
            try {
                auto data = takeReadBuffer(length);
                const auto count =
                    m_bus.readPipe(handle, endpoint, std::span(data.bytes.get(), length), timeout);
                reply(request, {}, std::move(data), count);
            } catch (const usb::USBError& error) {
                fail(request, error.status(), MessageKind::readPipe);
            } catch (const std::exception&) {
                fail(request, usb::Status::error, MessageKind::readPipe);
            }
        });
        return;
    }
    case MessageKind::writePipe: {
        const auto [handle, endpoint, timeout] = reader.readAll<usb::HandleID, std::uint8_t, usb::Timeout>();
        const auto offset = body.size() - reader.readRest().size();
        if (!owns(handle)) {
            fail(request, usb::Status::notOpen, kind);
            return;
        }
        answerLater(
            request, kind,
            [this, handle, endpoint, timeout, offset, body = std::move(body)](MessageWriter& out) mutable {
                const auto written =
                    m_bus.writePipe(handle, endpoint, std::span(body).subspan(offset), timeout);
                keepBody(std::move(body));
                out.write(static_cast<std::uint64_t>(written));
            });
        return;
    }
    case MessageKind::controlRequest: {
        const auto [handle, setup, timeout] =
            reader.readAll<usb::HandleID, usb::ControlSetup, usb::Timeout>();
        const auto offset = body.size() - reader.readRest().size();
        if (!owns(handle)) {
            fail(request, usb::Status::notOpen, kind);
            return;
        }
        answerLater(request, kind,
                    [this, handle, setup, timeout, offset, body = std::move(body)](MessageWriter& out) {
                        out.writeRaw(
                            m_bus.controlRequest(handle, setup, std::span(body).subspan(offset), timeout));
                    });
        return;
    }
    case MessageKind::command: {
        const auto words = reader.read<busservice::CommandWords>();
        reader.finish();
        answer(request, kind, [&](MessageWriter& out) {
            out.write(m_commands ? m_commands(words)
                                 : busservice::CommandOutcome{false, "this service takes no commands"});
        });
        return;
    }
    case MessageKind::hello:
    case MessageKind::reply:
    case MessageKind::failure:
    case MessageKind::event:
        break;
    }
    throw BusProtocolError("a " + busservice::name(kind) + " message is no request");
}

void BusServiceSession::subscribe(std::uint64_t request, MessageReader& reader) {
    const auto [subscription, className] = reader.readAll<std::uint64_t, std::string>();
    reader.finish();
    {
        std::lock_guard guard(m_mutex);
        if (!m_subscriptions.try_emplace(subscription).second) {
            throw BusProtocolError("a subscription number used twice");
        }
    }
    usb::USBBus::Subscription made;
    try {
        made = m_bus.subscribe(className, [this, subscription](const usb::RegistryEvent& event) {
            forwardEvent(subscription, event);
        });
    } catch (const usb::USBError& error) {
        {
            std::lock_guard guard(m_mutex);
            m_subscriptions.erase(subscription);
        }
        fail(request, error.status(), MessageKind::subscribe);
        return;
    }
    MessageWriter existing;
    existing.write(made.existing);
    std::lock_guard guard(m_mutex);
    auto& state = m_subscriptions.at(subscription);
    state.busID = made.id;
    // The reply goes first, then the events that overtook it, so the client never hears of an entry's
    // change before it knows the entry.
    queueLocked({{static_cast<std::uint32_t>(existing.bytes().size()), MessageKind::reply, request},
                 existing.take(),
                 {},
                 0});
    for (auto& event : state.held) {
        queueLocked(std::move(event));
    }
    state.held.clear();
    state.replied = true;
}

void BusServiceSession::answer(std::uint64_t request, MessageKind kind,
                               const std::function<void(MessageWriter&)>& body) {
    MessageWriter out;
    try {
        body(out);
    } catch (const usb::USBError& error) {
        fail(request, error.status(), kind);
        return;
    } catch (const std::exception&) {
        fail(request, usb::Status::error, kind);
        return;
    }
    reply(request, std::move(out));
}

void BusServiceSession::answerLater(std::uint64_t request, MessageKind kind,
                                    std::function<void(MessageWriter&)> body) {
    schedule([this, request, kind, body = std::move(body)] { answer(request, kind, body); });
}

bool BusServiceSession::owns(usb::HandleID handle) const {
    std::lock_guard guard(m_mutex);
    return m_handles.contains(handle);
}

// --- Workers -----------------------------------------------------------------------------------------

void BusServiceSession::schedule(std::function<void()> work) {
    std::lock_guard guard(m_mutex);
    m_work.push_back(std::move(work));
    if (m_idleWorkers == 0 && m_workers.size() < m_limits.transfersPerClient) {
        m_workers.emplace_back([this] { runWorker(); });
    } else {
        m_workChanged.notify_one();
    }
}

void BusServiceSession::runWorker() {
    workerOf = this;
    std::unique_lock lock(m_mutex);
    while (true) {
        ++m_idleWorkers;
        m_workChanged.wait(lock, [&] { return m_stopping || !m_work.empty(); });
        --m_idleWorkers;
        if (m_stopping) {
            return;
        }
        auto work = std::move(m_work.front());
        m_work.pop_front();
        lock.unlock();
        work();
        lock.lock();
    }
}

void BusServiceSession::tearDown() noexcept {
    m_socket.shutdown();
    std::vector<usb::SubscriptionID> subscriptions;
    std::set<usb::HandleID> handles;
    {
        std::lock_guard guard(m_mutex);
        for (const auto& [number, state] : m_subscriptions) {
            subscriptions.push_back(state.busID);
        }
        m_subscriptions.clear();
        handles.swap(m_handles);
    }
    for (const auto id : subscriptions) {
        m_bus.unsubscribe(id);
    }
    // Closing ends the transfers still running on the opens, so the workers come back.
    for (const auto handle : handles) {
        m_bus.close(handle);
    }
    std::vector<std::thread> workers;
    {
        std::lock_guard guard(m_mutex);
        m_stopping = true;
        m_work.clear();
        workers.swap(m_workers);
    }
    m_workChanged.notify_all();
    for (auto& worker : workers) {
        worker.join();
    }
    m_outgoingChanged.notify_all();
    if (m_writer.joinable()) {
        m_writer.join();
    }
}

// --- Writing replies and events ----------------------------------------------------------------------

BusServiceSession::ReadBuffer BusServiceSession::takeReadBuffer(std::size_t length) {
    if (length >= smallestSpareTransfer) {
        std::lock_guard guard(m_mutex);
        const auto fits = std::find_if(m_spareReadBuffers.begin(), m_spareReadBuffers.end(),
                                       [&](const ReadBuffer& spare) { return spare.capacity >= length; });
        if (fits != m_spareReadBuffers.end()) {
            auto buffer = std::move(*fits);
            m_spareReadBuffers.erase(fits);
            return buffer;
        }
    }
    return {std::make_unique_for_overwrite<std::byte[]>(length), length};
}

std::vector<std::byte> BusServiceSession::takeSpareBody(std::size_t length) {
    // Small messages take small bodies of their own; the kept memory waits for the next write.
    if (length < smallestSpareTransfer) {
        return {};
    }
    std::lock_guard guard(m_mutex);
    if (m_spareBodies.empty()) {
        return {};
    }
    auto body = std::move(m_spareBodies.back());
    m_spareBodies.pop_back();
    return body;
}

void BusServiceSession::keepBody(std::vector<std::byte> body) noexcept {
    if (body.capacity() < smallestSpareTransfer || body.capacity() > largestSpareTransfer) {
        return;
    }
    std::lock_guard guard(m_mutex);
    if (m_spareBodies.size() < spareTransferCount && !m_stopping) {
        try {
            m_spareBodies.push_back(std::move(body));
        } catch (...) {
            // Without room in the list the memory is simply freed.
        }
    }
}

void BusServiceSession::keepReadBufferLocked(ReadBuffer buffer) noexcept {
    if (buffer.capacity < smallestSpareTransfer || buffer.capacity > largestSpareTransfer || m_stopping) {
        return;
    }
    if (m_spareReadBuffers.size() >= spareTransferCount) {
        // The smallest goes: the reads that come next are likely as large as this one.
        const auto smallest = std::min_element(
            m_spareReadBuffers.begin(), m_spareReadBuffers.end(),
            [](const ReadBuffer& a, const ReadBuffer& b) { return a.capacity < b.capacity; });
        if (smallest->capacity >= buffer.capacity) {
            return;
        }
        m_spareReadBuffers.erase(smallest);
    }
    try {
        m_spareReadBuffers.push_back(std::move(buffer));
    } catch (...) {
        // As in keepBody.
    }
}

void BusServiceSession::reply(std::uint64_t request, MessageWriter fields) {
    reply(request, std::move(fields), {}, 0);
}

void BusServiceSession::reply(std::uint64_t request, MessageWriter fields, ReadBuffer data,
                              std::size_t dataSize) {
    auto bytes = fields.take();
    const auto length = static_cast<std::uint32_t>(bytes.size() + dataSize);
    sendAnswer({{length, MessageKind::reply, request}, std::move(bytes), std::move(data), dataSize});
}

void BusServiceSession::fail(std::uint64_t request, usb::Status status, MessageKind kind) {
    MessageWriter fields;
    fields.write(status, busservice::name(kind));
    auto bytes = fields.take();
    const auto length = static_cast<std::uint32_t>(bytes.size());
    sendAnswer({{length, MessageKind::failure, request}, std::move(bytes), {}, 0});
}

void BusServiceSession::sendAnswer(Outgoing frame) {
    std::unique_lock lock(m_mutex);
    // A worker sends its answer itself when nothing waits before it: one hand-over less on the way of
    // every transfer. The reader and the bus's threads only queue, so that neither ever waits for a
    // client that does not read.
    const bool onWorker = workerOf == this;
    if (!onWorker || m_writing || m_broken || !m_outgoing.empty()) {
        queueLocked(std::move(frame));
        return;
    }
    sendLocked(lock, frame);
}

void BusServiceSession::forwardEvent(std::uint64_t subscription, const usb::RegistryEvent& event) {
    MessageWriter fields;
    fields.write(subscription, event.kind, event.entry);
    auto bytes = fields.take();
    Outgoing frame{
        {static_cast<std::uint32_t>(bytes.size()), MessageKind::event, 0}, std::move(bytes), {}, 0};
    std::lock_guard guard(m_mutex);
    const auto found = m_subscriptions.find(subscription);
    if (found == m_subscriptions.end()) {
        return;
    }
    if (!found->second.replied) {
        found->second.held.push_back(std::move(frame));
        return;
    }
    queueLocked(std::move(frame));
}

void BusServiceSession::queueLocked(Outgoing frame) {
    if (m_stopping || m_broken) {
        return;
    }
    const auto size = frame.fields.size() + frame.dataSize;
    if (!m_outgoing.empty() && m_queuedBytes + size > m_limits.queuedBytesPerClient) {
        // The client has stopped reading; waiting for it would only let its backlog grow.
        serviceLog().error("dropping the client %{public}s: %llu bytes wait unread", m_client.ownerText(),
                           static_cast<unsigned long long>(m_queuedBytes));
        brokenLocked();
        return;
    }
    m_queuedBytes += size;
    m_outgoing.push_back(std::move(frame));
    m_outgoingChanged.notify_all();
}

void BusServiceSession::sendLocked(std::unique_lock<std::mutex>& lock, Outgoing& frame) {
    m_writing = true;
    lock.unlock();
    bool sent = true;
    try {
        m_socket.send(frame.header,
                      {frame.fields, std::span<const std::byte>(frame.data.bytes.get(), frame.dataSize)});
    } catch (const std::exception&) {
        sent = false;
    }
    lock.lock();
    m_writing = false;
    keepReadBufferLocked(std::move(frame.data));
    if (!sent) {
        brokenLocked();
    }
    m_outgoingChanged.notify_all();
}

void BusServiceSession::brokenLocked() {
    // The reader sees the connection end too, and tears the session down.
    m_socket.shutdown();
    m_broken = true;
    m_outgoing.clear();
    m_queuedBytes = 0;
}

void BusServiceSession::runWriter() noexcept {
    std::unique_lock lock(m_mutex);
    while (true) {
        m_outgoingChanged.wait(lock,
                               [&] { return !m_writing && (m_stopping || m_broken || !m_outgoing.empty()); });
        if (m_broken || m_outgoing.empty()) {
            return;
        }
        auto frame = std::move(m_outgoing.front());
        m_outgoing.pop_front();
        m_queuedBytes -= frame.fields.size() + frame.dataSize;
        sendLocked(lock, frame);
    }
}

} // namespace simulation
