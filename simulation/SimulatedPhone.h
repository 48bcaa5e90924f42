#pragma once

#include "Corvane/wire/PTPOperation.h"
#include "platform/foundation/Clock.h"
#include "platform/usb/DeviceFunction.h"
#include "simulation/PhoneBulkInQueue.h"
#include "simulation/PhoneDeviceInfo.h"
#include "simulation/PhoneFault.h"
#include "simulation/PhoneGate.h"
#include "simulation/PhoneLink.h"
#include "simulation/PhoneObjectStore.h"
#include "simulation/PhoneTimer.h"
#include "simulation/PhoneTransaction.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace simulation {

/// A file or folder of the simulated phone as tests read it back.
struct PhoneObjectRecord {
    std::uint32_t handle = 0;
    std::uint32_t storageID = 0;
    /// 0 at the top of a storage.
    std::uint32_t parent = 0;
    std::string name;
    std::uint16_t format = 0;
    std::uint16_t protectionStatus = 0;
    /// The bytes the object holds now.
    std::uint64_t size = 0;
    /// The size the phone reports; it differs from size only while an edit session is open.
    std::uint64_t reportedSize = 0;
    std::optional<platform::Clock::WallTime> modified;
    bool isFolder = false;
    bool inEdit = false;
};

/// When SendObject is accepted after SendObjectInfo.
enum class SendObjectRule {
    immediatelyAfterInfo, // any other command in between discards the announced object
    sameSession,          // any time later in the same session, as long as no other SendObjectInfo came
};

/// What ObjectInfo's 32-bit size says of an object of 4 GiB or more.
enum class LargeSizeInObjectInfo {
    unknown, // 0xFFFFFFFF, as the protocol asks
    lowBits, // the size's low 32 bits, as some responders send
};

/// The two bulk endpoints of the phone's MTP interface.
enum class PhonePipe { bulkIn, bulkOut };

/// A strict Android phone that speaks PTP/MTP over USB bulk pipes: the responder side of every
/// transaction the library sends, over an in-memory tree of storages and objects, with a log of every
/// transaction, gates that hold it inside an operation, injectable faults and a link model.
///
/// It is transport-agnostic: it takes the host's bulk-OUT transfers (receiveOut), produces its bulk-IN
/// transfers (produceIn) and answers class requests (handleControl). Like a real device, it never blocks
/// the caller: when it has nothing to send yet (a gate holds it, its link is slow, it was told to stay
/// silent) it answers notYet and calls the wake handler when it can go on. PhoneUSBFunction puts it on a
/// simulated bus; tests may also drive it directly with raw containers.
///
/// Every member may be called from any thread; one lock guards all state and is never held across the
/// wake handler. The phone breaks protocol rules only when a fault tells it to; it records every rule
/// the host breaks (interleaved transactions, malformed containers, a missing zero-length packet) as a
/// violation.
class SimulatedPhone {
public:
    /// The top of a storage, as the library names it; 0 is accepted as well.
    static constexpr std::uint32_t root = 0xFFFFFFFF;

    explicit SimulatedPhone(platform::Clock& clock = platform::Clock::system());
    ~SimulatedPhone();
    SimulatedPhone(const SimulatedPhone&) = delete;
    SimulatedPhone& operator=(const SimulatedPhone&) = delete;

    // Device information and behaviour.

    PhoneDeviceInfo deviceInfo() const;
    void setDeviceInfo(PhoneDeviceInfo info);
    /// Adds the operation to, or removes it from, the advertised (and served) operations.
    void setOperationSupported(corvane::PTPOperation operation, bool supported);
    void setBattery(PhoneBattery battery);
    void setBatteryLevel(std::int64_t level);
    /// While false the phone is locked: GetStorageIDs answers an empty list, as a phone does until the
    /// user allows access to its files.
    void setAccessGranted(bool granted);
    /// When false, GetObjectPropList with depth 1 answers Specification By Depth Unsupported (0xA808).
    void setPropListDepthSupported(bool supported);
    void setSendObjectRule(SendObjectRule rule);
    /// When true, an object whose SendObject failed or never came keeps what arrived of it, as some
    /// responders do; by default it is removed, as an Android phone removes the partial file.
    void setKeepsPartialObjects(bool keeps);
    /// When true, the modification date property is listed as settable and SetObjectPropValue changes
    /// it; by default it is read-only, as on Android.
    void setModificationDatesSettable(bool settable);
    void setLargeSizeInObjectInfo(LargeSizeInObjectInfo rule);
    /// The bulk endpoints' packet size: 512 (high speed, the default) or 64 (full speed). Set it before
    /// plugging the phone in: the endpoints are declared with it.
    void setPacketSize(std::size_t packetSize);
    std::size_t packetSize() const;
    void setLink(PhoneLink link);

    // Storages.

    std::uint32_t addStorage(PhoneStorage storage = {});
    /// Removes the storage and everything on it.
    void removeStorage(std::uint32_t id);
    /// Changes a storage in place (read-only state, free space, names, visibility).
    void updateStorage(std::uint32_t id, const std::function<void(PhoneStorage&)>& change);
    std::vector<PhoneStorage> storages() const;

    // Building the tree. Parents are folder handles or root; a bad storage or parent is a test error and
    // throws std::invalid_argument. Names are stored byte for byte, in whatever Unicode form they come.

    std::uint32_t addFolder(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                            PhoneObjectOptions options = {});
    /// Creates the folders of a "/"-separated path that do not exist yet; returns the last one's handle.
    std::uint32_t addFolders(std::uint32_t storage, std::string_view path);
    std::uint32_t addFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                          std::span<const std::byte> contents, PhoneObjectOptions options = {});
    std::uint32_t addFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                          std::string_view contents, PhoneObjectOptions options = {});
    /// A file of size bytes whose content is the pattern of its own handle (generatedBytes), held
    /// without allocating: sizes beyond 4 GiB cost nothing.
    std::uint32_t addGeneratedFile(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                   std::uint64_t size, PhoneObjectOptions options = {});
    void removeObject(std::uint32_t handle);
    void renameObject(std::uint32_t handle, std::string_view name);
    void setProtectionStatus(std::uint32_t handle, std::uint16_t status);
    void setModified(std::uint32_t handle, std::optional<platform::Clock::WallTime> modified);
    /// Replaces the date text that ObjectInfo and the date property carry for the object.
    void setModificationText(std::uint32_t handle, std::string text);

    // Reading the tree back.

    std::optional<PhoneObjectRecord> object(std::uint32_t handle) const;
    /// The children of a folder (root for the top of the storage), in the order the phone lists them.
    std::vector<PhoneObjectRecord> children(std::uint32_t storage, std::uint32_t parent) const;
    /// The handle at a "/"-separated path below the storage's top, names compared byte for byte.
    std::optional<std::uint32_t> find(std::uint32_t storage, std::string_view path) const;
    /// The whole content; throws std::length_error beyond 1 GiB (use the ranged form).
    std::vector<std::byte> contents(std::uint32_t handle) const;
    std::vector<std::byte> contents(std::uint32_t handle, std::uint64_t offset, std::size_t length) const;
    std::string contentsText(std::uint32_t handle) const;
    /// Lower-case hexadecimal SHA-256 of the content (at most 1 GiB).
    std::string sha256(std::uint32_t handle) const;
    /// Memory that the object's written bytes take, for checks that a large transfer stayed sparse.
    std::size_t storedBytes(std::uint32_t handle) const;
    /// One line per object below the storage's top, depth first: "DCIM/", "DCIM/a.jpg 1234".
    std::string tree(std::uint32_t storage) const;
    /// The bytes a generated file of that handle holds at offset.
    static std::vector<std::byte> generatedBytes(std::uint32_t handle, std::uint64_t offset,
                                                 std::size_t length);

    // Faults and gates.

    /// The fault hits the onCall-th call of the operation from now on (1: the next one) and the
    /// times - 1 calls after it. Several faults may hit one call; they apply together.
    void injectFault(corvane::PTPOperation operation, PhoneFault fault, std::uint32_t onCall = 1,
                     std::uint32_t times = 1);
    static constexpr std::uint32_t always = 0xFFFFFFFF;
    void clearFaults();
    /// The next `count` Device Reset requests stall.
    void failResets(std::uint32_t count);
    /// Whether the phone serves the class request Cancel (by default it does); without it the request
    /// stalls, as on a device that does not know it.
    void setCancelSupported(bool supported);
    /// After a cancel, the next `statusReads` Get Device Status requests answer Device Busy.
    void setBusyAfterCancel(std::uint32_t statusReads);
    /// The phone hangs, as a phone whose MTP service died does: from now on it takes nothing from the
    /// host, sends nothing and answers no class request, so every transfer runs into its time-out. Only
    /// unplugging and plugging it in again (a power cycle of its USB side) brings it back.
    void stopAnswering();
    /// Holds the onCall-th call of the operation from now on until the gate is released.
    std::shared_ptr<PhoneGate> addGate(corvane::PTPOperation operation, std::uint32_t onCall = 1);

    // The log.

    std::vector<PhoneTransaction> transactions() const;
    /// The operation codes of the log, in order, for compact assertions.
    std::vector<std::uint16_t> operations() const;
    /// How many transactions of the operation the log holds.
    std::size_t count(corvane::PTPOperation operation) const;
    /// Every protocol rule the host broke, one sentence each.
    std::vector<std::string> violations() const;
    std::size_t resetCount() const;
    void clearLog();
    bool isSessionOpen() const;
    std::vector<std::uint32_t> objectsInEdit() const;
    bool isAttached() const;

    // The USB side: what PhoneUSBFunction forwards from the bus, and what raw tests call.

    /// Who to tell that the phone can go on after answering notYet (the bus's dataReady).
    void setWakeHandler(std::function<void()> wake);
    /// The phone is (again) on a bus: a fresh power-on of its USB function, no session.
    void attached();
    /// One host transfer on the bulk-OUT pipe, whole; a zero-length packet is an empty span.
    usb::Reply receiveOut(std::span<const std::byte> transfer);
    /// The phone's next bulk-IN transfer, or notYet.
    usb::InReply produceIn();
    /// A class request on the default control pipe; the phone serves Device Reset (0x66).
    usb::ControlReply handleControl(const usb::ControlSetup& setup, std::span<const std::byte> data);
    void haltCleared(PhonePipe pipe);
    /// A configuration change drops the session and everything queued, as a reset does.
    void configurationChanged(std::uint8_t value);

private:
    struct Reply;
    struct Active;
    struct ScheduledFault {
        std::uint16_t operation;
        PhoneFault fault;
        std::uint32_t callsUntilFirst;
        std::uint32_t timesLeft;
    };
    struct PendingSend {
        std::uint32_t handle = 0;
        std::uint32_t announcedSize = 0;
    };

    // Transaction engine (SimulatedPhone.cpp); all with m_sync->mutex held.
    usb::Reply receiveCommandLocked(std::span<const std::byte> transfer);
    usb::Reply receiveDataLocked(std::span<const std::byte> transfer);
    void startTransactionLocked(std::uint16_t code, std::uint32_t transactionID,
                                std::vector<std::uint32_t> params);
    void prepareDataOutLocked(Active& active);
    void completeDataOutLocked(Active& active, bool endedByZLP);
    void abandonLocked(const std::string& reason);
    void finishDataOutTargetLocked(Active& active, bool succeeded);
    void executeLocked(Active& active);
    void queueReplyLocked(Active& active, Reply reply);
    void resetLocked(const std::string& reason);
    void violationLocked(std::string text);
    /// The log entry with that number, or a scratch entry when clearLog() dropped it.
    PhoneTransaction& entryLocked(std::size_t number);
    PhoneTransaction& entryLocked(const Active& active);
    bool hasFaultLocked(const Active& active, PhoneFault::Kind kind) const;
    const PhoneFault* faultLocked(const Active& active, PhoneFault::Kind kind) const;
    bool linkAllowsLocked(std::optional<platform::Clock::TimePoint>& due, std::uint64_t bytes);

    // Operations (SimulatedPhoneOperations.cpp and SimulatedPhoneObjects.cpp); m_sync->mutex held.
    Reply performLocked(Active& active);
    Reply getDeviceInfoLocked();
    Reply openSessionLocked(const Active& active);
    Reply closeSessionLocked();
    Reply getStorageIDsLocked();
    Reply getStorageInfoLocked(const Active& active);
    Reply getObjectHandlesLocked(const Active& active);
    Reply getObjectInfoLocked(const Active& active);
    Reply getObjectLocked(const Active& active);
    Reply getPartialObjectLocked(const Active& active, bool wide);
    Reply deleteObjectLocked(const Active& active);
    Reply sendObjectInfoLocked(Active& active);
    Reply sendObjectLocked(Active& active);
    Reply moveObjectLocked(const Active& active);
    Reply getDevicePropDescLocked(const Active& active);
    Reply getDevicePropValueLocked(const Active& active);
    Reply getObjectPropsSupportedLocked(const Active& active);
    Reply getObjectPropValueLocked(const Active& active);
    Reply getObjectPropDescLocked(const Active& active);
    Reply setObjectPropValueLocked(Active& active);
    Reply getObjectPropListLocked(const Active& active);
    Reply sendPartialObjectLocked(Active& active);
    Reply truncateObjectLocked(const Active& active);
    Reply beginEditObjectLocked(const Active& active);
    Reply endEditObjectLocked(const Active& active);
    /// The refusal of an operation that the phone does not advertise, or that needs a session.
    std::optional<std::uint16_t> admissionLocked(std::uint16_t operation) const;
    /// Checks that an operation may run before its data arrives; the response code when it may not.
    std::optional<std::uint16_t> refuseBeforeDataLocked(Active& active);

    // Helpers of the operations.
    bool storageVisibleLocked(std::uint32_t id) const;
    PhoneObject* visibleObjectLocked(std::uint32_t handle);
    std::vector<std::byte> objectInfoDatasetLocked(const PhoneObject& object) const;
    void appendPropertyLocked(std::vector<std::byte>& out, const PhoneObject& object,
                              std::uint16_t property) const;
    std::string dateTextLocked(const PhoneObject& object) const;
    void endEditLocked(std::uint32_t handle);
    void endAllEditsLocked();

    // Building the tree.
    std::uint32_t addObjectLocked(std::uint32_t storage, std::uint32_t parent, std::string_view name,
                                  std::uint16_t format, PhoneContent content,
                                  const PhoneObjectOptions& options);
    const PhoneObject& requireObjectLocked(std::uint32_t handle) const;
    PhoneObjectRecord recordLocked(const PhoneObject& object) const;

    void wake();

    platform::Clock& m_clock;
    std::shared_ptr<PhoneSync> m_sync;

    // Guarded by m_sync->mutex.
    PhoneDeviceInfo m_info;
    PhoneBattery m_battery;
    PhoneObjectStore m_store;
    bool m_accessGranted = true;
    bool m_propListDepthSupported = true;
    SendObjectRule m_sendObjectRule = SendObjectRule::immediatelyAfterInfo;
    bool m_keepsPartialObjects = false;
    bool m_modificationDatesSettable = false;
    LargeSizeInObjectInfo m_largeSizeInObjectInfo = LargeSizeInObjectInfo::unknown;
    std::size_t m_packetSize = 512;
    PhoneLink m_link;

    bool m_attached = true;
    bool m_sessionOpen = false;
    std::uint32_t m_sessionID = 0;
    std::uint32_t m_lastTransactionID = 0;
    std::optional<PendingSend> m_pendingSend;
    std::vector<std::uint32_t> m_edits;
    std::unique_ptr<Active> m_active;
    bool m_expectHostZLP = false;
    std::size_t m_zlpEntry = 0;
    bool m_inHalted = false;
    bool m_outHalted = false;
    PhoneBulkInQueue m_in;
    platform::Clock::TimePoint m_linkFreeAt{};
    std::optional<platform::Clock::TimePoint> m_inDue;
    std::optional<platform::Clock::TimePoint> m_outDue;
    std::size_t m_outDueSize = 0;

    std::vector<ScheduledFault> m_faults;
    std::uint32_t m_failingResets = 0;
    bool m_cancelSupported = true;
    std::uint32_t m_busyAfterCancel = 0;
    std::uint32_t m_busyStatusReads = 0;
    bool m_hung = false;
    std::vector<std::shared_ptr<PhoneGate>> m_gates;

    std::vector<PhoneTransaction> m_log;
    std::size_t m_logBase = 0; // the number of m_log's first entry
    PhoneTransaction m_scratchEntry;
    std::vector<std::string> m_violations;
    std::size_t m_resets = 0;

    PhoneTimer m_timer; // last: its thread stops before anything above goes away
};

} // namespace simulation
