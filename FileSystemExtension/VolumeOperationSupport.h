#pragma once

#include "Corvane/filesystem/MTPFileSystem.h"
#include "Corvane/wire/MTPObject.h"
#include "FileSystemExtension/AndroidItem.h"
#include "platform/foundation/Clock.h"
#include "platform/fskit/FSFileName.h"
#include "platform/fskit/FSItemAttributes.h"
#include "platform/fskit/FSKitTypes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tandalo {

// Small steps that several of the volume's item operations share. Any thread.

/// A new file's buffered contents go to the device as one object once they reach this size. It also
/// bounds what a file held in memory may be grown to by anything but the bytes of a write itself.
inline constexpr std::uint64_t flushThreshold = 0x1000000;

/// Sequential writes in an edit session collect into one partial write of at most this many bytes. A full
/// run is sent while the next one fills, so one file being written holds at most twice this much (twice the
/// flush threshold for a new file that grows past it, as while its start was sent). Runs much
/// larger leave the link idle while the first one fills and keep the writer waiting at its close for the
/// last one; much smaller ones pay the phone's turnaround more often.
inline constexpr std::uint64_t writeBehindLimit = 0x400000;

class AndroidVolume;
class EphemeralItem;

/// Puts on the device what the writes of the item's edit session have not: waits for the run on its way,
/// then sends a run the device refused behind the writes and the run that waits, in that order. The caller
/// holds the item's content lock. Throws the library's error and keeps the bytes for another try. Blocks
/// for the device.
void sendUnsentWrite(AndroidVolume& volume, AndroidItem& item);

/// FSKit's time for a date: the seconds since 1970 rounded down, and the nanoseconds beyond them.
fskit::FSTimeSpec timeSpec(platform::Clock::WallTime time) noexcept;
/// The date of FSKit's time.
platform::Clock::WallTime wallTime(fskit::FSTimeSpec time) noexcept;

/// The size rounded up to whole 4096-byte blocks. A size within a block of the largest value (a device's
/// "unknown size") has no such multiple and is reported as the largest value.
std::uint64_t allocationSize(std::uint64_t size) noexcept;

/// Where the children of a folder item are listed on the device: nothing for the volume root, whose
/// children are the storages. Throws ENOTDIR for a file object.
std::optional<corvane::MTPFileSystem::DirectoryKey> deviceFolder(const AndroidItem::Kind& kind);

/// Where an item created in, or moved into, a folder item goes on the device: the top of a storage or a
/// folder object. Throws EPERM for the volume root and for a file object.
corvane::MTPFileSystem::DirectoryKey destinationFolder(const AndroidItem::Kind& kind);

/// Whether nothing may be written into an item of this kind: the root, a read-only storage or a read-only
/// object.
bool isWriteProtected(const AndroidItem::Kind& kind) noexcept;

/// The same record with another size. A file that grew inside an edit session still has its old size in
/// every record the device gives until the session ends, and the library never reads past a record's size.
corvane::MTPObject withSize(const corvane::MTPObject& object, std::uint64_t size);
/// The same record with another modification date.
corvane::MTPObject withModified(const corvane::MTPObject& object, platform::Clock::WallTime modified);

/// The name as text; throws EINVAL for a name whose bytes are not text.
std::string nameText(const fskit::FSFileName& name);

/// Whether the device can hold the name: a name goes over the wire in at most 254 UTF-16 units, and one
/// cut to fit would leave the item under a name nobody gave it.
bool fitsOnDevice(std::string_view name);

/// Marks the attributes that the request carries among the given ones as consumed.
void consume(fskit::FSItemSetAttributesRequest& request, fskit::FSItemAttributeSet attributes);

} // namespace tandalo
