#pragma once

#include "Corvane/device/DataPhase.h"
#include "Corvane/device/MTPTrace.h"
#include "Corvane/device/TransactionEngine.h"
#include "Corvane/usb/PTPTransport.h"
#include "Corvane/usb/TransportFactory.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Corvane/wire/DeviceInfo.h"
#include "Corvane/wire/MTPObject.h"
#include "Corvane/wire/MTPPropertyElement.h"
#include "Corvane/wire/ObjectInfo.h"
#include "Corvane/wire/PTPOperation.h"
#include "Corvane/wire/StorageInfo.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"
#include "platform/foundation/Logger.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corvane {

/// What a device takes from its surroundings; the defaults are the process's own. Everything it points
/// to must outlive the device.
struct MTPDeviceContext {
    platform::Clock* clock = &platform::Clock::system();
    const platform::Environment* environment = &platform::Environment::process();
    oslog::LogStore* logStore = &oslog::LogStore::shared();
    MTPTrace::StandardError standardError = oslog::writeToStandardError;
    /// The transport makers for connect; nothing means TransportFactory::installed().
    const TransportFactory* transportFactory = nullptr;
};

/// The session with one MTP device: it owns the device's one transport, numbers and runs its
/// transactions, and offers every MTP operation the system uses.
///
/// Threads. Any thread may call any member. The MTP operations are members of MTPDevice::Session, which
/// only a hold of the device hands out: `device.hold()->getObjectInfo(handle)` holds the device for one
/// operation, `device.exclusive([&](MTPDevice::Session& session) { ... })` for several that must not be
/// split (an edit session's steps; SendObjectInfo and its SendObject). A hold blocks while another
/// thread's hold lasts, so transactions never interleave on the wire; each transaction is then bounded by
/// the time-outs. A hold taken on a thread that already holds the device joins that hold; one taken from
/// inside a data sink or provider throws deviceBusy instead of interleaving with the transfer in
/// progress. The accessors (descriptor, info, time-outs, chunk size, trace) never wait for the device.
class MTPDevice {
public:
    using TransportKind = corvane::TransportKind;
    using Response = MTPResponse;

    using Context = MTPDeviceContext;

    class Session;
    class Hold;

    /// Opens the interface with the chosen transport (chooseTransportKind) and makes a device over it. Does
    /// no MTP exchange. Throws the transport's error unchanged. Any thread; blocks while the transport opens.
    static std::shared_ptr<MTPDevice> connect(const USBDeviceDescriptor& descriptor,
                                              std::optional<TransportKind> transport = std::nullopt,
                                              TakeOver takeOver = TakeOver::never,
                                              std::function<void()> onDisconnect = {},
                                              const Context& context = {});

    /// A device over an open transport: no session, transaction ID 0, time-outs 30 s and 90 s, chunk
    /// 1 MiB. The trace is on when the environment holds CORVANE_TRACE, else when the standard preference
    /// CorvaneTrace is true.
    MTPDevice(std::unique_ptr<PTPTransport> transport, USBDeviceDescriptor descriptor,
              const Context& context = {});
    /// Frees the transport, which closes itself. Sends nothing: closing the session is close()'s job.
    ~MTPDevice();
    MTPDevice(const MTPDevice&) = delete;
    MTPDevice& operator=(const MTPDevice&) = delete;

    // Accessors: any thread, never wait for the device.

    const USBDeviceDescriptor& descriptor() const noexcept { return m_descriptor; }
    /// The device information that the last open() read, or nothing before it.
    std::optional<DeviceInfo> info() const;
    /// Asks the transport; blocks at most for the transport's transfer in progress.
    bool isConnected() const;
    /// Time-out of command writes and of the zero-length packet that ends sent data. Default 30 s.
    Seconds commandTimeout() const noexcept { return m_engine.commandTimeout(); }
    void setCommandTimeout(Seconds timeout) noexcept { m_engine.setCommandTimeout(timeout); }
    /// Time-out of data writes, data reads and response reads. Default 90 s.
    Seconds dataTimeout() const noexcept { return m_engine.dataTimeout(); }
    void setDataTimeout(Seconds timeout) noexcept { m_engine.setDataTimeout(timeout); }
    /// The largest read, and the chunk of sent data. Default 1 MiB. The setter throws PTPError::io for a
    /// size of 12 bytes or less, or above TransactionEngine::maximumChunkSize.
    std::int64_t readChunkSize() const noexcept { return m_engine.readChunkSize(); }
    void setReadChunkSize(std::int64_t size) { m_engine.setReadChunkSize(size); }
    bool isTraceEnabled() const noexcept { return m_engine.trace().isEnabled(); }
    /// The start of a traced exchange, nothing while the trace is off; with log(), for exchanges that
    /// callers time themselves.
    std::optional<platform::Clock::TimePoint> traceStart() const { return m_engine.traceStart(); }
    /// Writes "<operation> <ms>ms <note>" to the trace when start is set.
    void log(std::optional<platform::Clock::TimePoint> start, PTPOperation operation,
             std::string_view note) const {
        m_engine.log(start, operation, note);
    }
    /// Throws notSupported(operation) when the device information lacks the operation; passes everything
    /// while no device information has been read.
    void requireOperation(PTPOperation operation) const;
    /// How long the USB transfer now in progress has waited, or nothing between transfers.
    std::optional<platform::Clock::Duration> transferInProgressFor() const {
        return m_engine.transferInProgressFor();
    }

    /// Gives the device up without waiting for its hold: the transport closes, which ends a transfer in
    /// progress at once, and every operation from then on fails at once. For an owner that goes away
    /// while the device hangs. Any thread; never throws.
    void abandon() noexcept { m_engine.abandon(); }

    // Holding the device. Any thread; blocks until the device is free.

    /// Holds the device until the returned hold goes; its -> and * reach the operations. Kept for one
    /// full expression (device.hold()->open()), it holds the device for that one operation.
    [[nodiscard]] Hold hold();
    /// Runs f(session) while holding the device, so that no other thread's operation comes in between;
    /// returns what f returns. The session is valid only inside f.
    template <typename F> decltype(auto) exclusive(F&& f);

    /// CloseSession when a session is open (its failure is ignored), then closes the transport. Holds the
    /// device, also from inside a data phase (the transport closes under it). Never throws.
    void close() noexcept;

    /// The device held by this thread, for as long as the hold lives: one operation or a sequence.
    class Hold {
    public:
        explicit Hold(MTPDevice& device);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        Session* operator->() const noexcept { return &m_device.m_session; }
        Session& operator*() const noexcept { return m_device.m_session; }

    private:
        friend class MTPDevice;
        enum class Inside { refuse, allow };
        Hold(MTPDevice& device, Inside inside);

        MTPDevice& m_device;
        bool m_joined = false;
    };

    /// The MTP operations, reached only through a hold of the device. Each throws PTPError (or whatever
    /// a caller's sink or provider throws); an operation that the device information does not list
    /// throws notSupported before anything is sent. Only the thread that holds the device may use it.
    class Session {
    public:
        Session(const Session&) = delete;
        Session& operator=(const Session&) = delete;

        MTPDevice& device() noexcept { return m_device; }

        /// GetDeviceInfo, then OpenSession (recovering from "session already open" once). Stores the
        /// info.
        DeviceInfo open();
        /// The USB class Device Reset; forgets the session and restarts transaction IDs at 0.
        void resetDevice();
        /// One raw transaction; checks nothing about support.
        Response transaction(PTPOperation operation, std::span<const std::uint32_t> params,
                             const DataPhase& phase = DataPhase::none());
        Response transaction(PTPOperation operation, std::initializer_list<std::uint32_t> params,
                             const DataPhase& phase = DataPhase::none()) {
            return transaction(operation, std::span<const std::uint32_t>(params.begin(), params.size()),
                               phase);
        }

        DeviceInfo getDeviceInfo();
        std::vector<std::uint32_t> getStorageIDs();
        StorageInfo getStorageInfo(std::uint32_t storageID);
        /// Every storage whose ID has a logical part (low 16 bits not 0), in the device's order.
        std::vector<StorageInfo> getStorages();
        std::vector<std::byte> getDevicePropValue(std::uint16_t property);
        /// 1 to 100, or nothing when the device has no battery level, reports 0, or a value out of range.
        std::optional<int> batteryLevel();

        std::vector<std::uint32_t> getObjectHandles(std::uint32_t storageID, std::uint32_t format,
                                                    std::uint32_t parent);
        ObjectInfo getObjectInfo(std::uint32_t handle);
        std::vector<std::byte> getObjectPropValue(std::uint32_t handle, std::uint16_t property);
        std::uint64_t getObjectSize64(std::uint32_t handle);
        std::vector<std::uint16_t> getObjectPropsSupported(std::uint16_t format);
        std::vector<MTPPropertyElement> getObjectPropList(std::uint32_t handle, std::uint32_t format,
                                                          std::uint32_t property, std::uint32_t group,
                                                          std::uint32_t depth);
        /// The children of a folder (parent 0xFFFFFFFF: the storage's root), by property lists while the
        /// device serves them, else by handles and object information.
        std::vector<MTPObject> listDirectory(std::uint32_t storageID, std::uint32_t parent);
        MTPObject object(std::uint32_t handle);

        /// GetObject, handing the data to the sink read by read.
        void getObject(std::uint32_t handle, const DataSink& sink);
        /// Up to length bytes at offset: Android's 64-bit partial read when offered, else the 32-bit one.
        /// The bytes are read into storage's memory when it is given, without clearing it first.
        std::vector<std::byte> readPartial(std::uint32_t handle, std::uint64_t offset, std::uint32_t length,
                                           std::vector<std::byte> storage = {});
        /// Announces an object; returns its new handle.
        std::uint32_t sendObjectInfo(const ObjectInfo& info);
        void sendObject(std::span<const std::byte> data);
        void sendObject(std::uint64_t length, const DataProvider& provider);
        std::uint32_t createFolder(std::uint32_t storageID, std::uint32_t parent, std::string_view name);
        /// Announces a file of size bytes; send its data with sendObject next, in the same hold.
        std::uint32_t createFile(std::uint32_t storageID, std::uint32_t parent, std::string_view name,
                                 std::uint64_t size, std::optional<MTPObject::TimePoint> modified);
        void deleteObject(std::uint32_t handle);
        /// Moves to another folder (parent 0xFFFFFFFF: the storage's root).
        void moveObject(std::uint32_t handle, std::uint32_t storageID, std::uint32_t parent);
        void rename(std::uint32_t handle, std::string_view name);
        void beginEdit(std::uint32_t handle);
        void endEdit(std::uint32_t handle);
        void truncate(std::uint32_t handle, std::uint64_t size);
        /// Writes data at offset inside an edit; at most 0xFFFFFFFF bytes per call.
        void writePartial(std::uint32_t handle, std::uint64_t offset, std::span<const std::byte> data);

    private:
        friend class MTPDevice;
        explicit Session(MTPDevice& device) : m_device(device) {}

        /// The device's engine, for the thread that holds the device; throws std::logic_error on any
        /// other, whose transactions would interleave with the holder's.
        TransactionEngine& engine();
        std::vector<MTPObject> listDirectoryViaPropList(std::uint32_t storageID, std::uint32_t parent);
        std::unordered_map<std::uint32_t, MTPValue> childPropertyValues(std::uint16_t property,
                                                                        std::uint32_t queryHandle,
                                                                        std::vector<std::uint32_t>* order,
                                                                        bool* answeredForFolder = nullptr);
        std::optional<int> batteryLevelFromDescription();
        /// Whether the device lists the 64-bit object size among the properties of the format; asked
        /// once per format.
        bool offersSize64(std::uint16_t format);
        /// Whether the storage's capacity leaves room for an object of 4 GiB or more; asked once per
        /// storage.
        bool mayHoldLargeObjects(std::uint32_t storageID);
        Response received(PTPOperation operation, std::initializer_list<std::uint32_t> params,
                          std::uint64_t limit = DataPhase::defaultCollectLimit);

        MTPDevice& m_device;
    };

private:
    void storeInfo(DeviceInfo info);
    std::shared_ptr<const DeviceInfo> infoSnapshot() const;
    void openSessionExchange();
    void reopenAfterReset();

    const USBDeviceDescriptor m_descriptor;
    std::mutex m_operation;                  // held for each hold of the device; taken before m_infoMutex
    std::atomic<std::thread::id> m_holder{}; // the thread that holds m_operation, if any
    TransactionEngine m_engine;              // guarded by m_operation (its settings are atomics)
    bool m_sessionOpen = false;              // guarded by m_operation
    bool m_propListBroken = false;           // guarded by m_operation
    std::unordered_map<std::uint16_t, bool> m_size64Formats;       // guarded by m_operation
    std::unordered_map<std::uint32_t, bool> m_largeObjectStorages; // guarded by m_operation
    bool m_marksLargeSizes = false; // datasets say 0xFFFFFFFF for large files; guarded by m_operation
    mutable std::mutex m_infoMutex; // guards m_info; a leaf: nothing is called while it is held
    std::shared_ptr<const DeviceInfo> m_info;
    Session m_session{*this};
};

template <typename F> decltype(auto) MTPDevice::exclusive(F&& f) {
    const Hold held(*this);
    return std::forward<F>(f)(*held);
}

} // namespace corvane
