#pragma once

#include "platform/fskit/FSItemAttributes.h"
#include "platform/fskit/FSVolume.h"
#include "platform/fuse/InodeTable.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

// The translations between what the kernel speaks (struct stat, statvfs, errno, setattr masks) and what
// the volume speaks (FSItemAttributes, FSStatFSResult, fskit::Error).
namespace fusehost {

/// What a stat shows where the volume leaves an attribute out.
struct StatDefaults {
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    /// st_blksize: the size that programs such as cp use for each read and write, so it is the volume's
    /// preferred I/O size rather than its block size.
    std::uint32_t ioBlockSize = 4096;
};

/// The kernel's view of an item: type bits from the item type, permissions from the mode (or 0755 for
/// folders and 0644 for the rest), st_ino the file ID (or the node when none), and each time that is
/// missing taken from the modification time.
struct stat statOf(const fskit::FSItemAttributes& attributes, NodeID node, const StatDefaults& defaults);

/// The item type of a mode's type bits; unknown for none.
fskit::FSItemType itemTypeOfMode(mode_t mode);
/// The d_type bits of a directory entry (DT_REG, DT_DIR...) as mode type bits for fuse_add_direntry.
mode_t modeTypeBits(fskit::FSItemType type);

/// The file-system statistics as statvfs reports them; blocks are derived from bytes when the volume
/// gives bytes only, and a volume without a block size counts in 4096-byte blocks.
struct statvfs statvfsOf(const fskit::FSStatFSResult& statistics, std::uint32_t maximumNameLength);

/// The errno value that the kernel should see for an error: a POSIX-domain code as it is (or EIO when
/// it is not a plausible errno), any other domain EIO.
int errnoOf(const fskit::Error& error) noexcept;
/// The same for any exception: fskit::Error as above, FuseError its code, std::bad_alloc ENOMEM,
/// anything else EIO.
int errnoOf(const std::exception_ptr& error) noexcept;

/// Which attributes a setattr asks to change; the kernel's FUSE_SET_ATTR_* bits, spelled out.
struct AttributeChanges {
    std::optional<mode_t> mode;
    std::optional<std::uint32_t> uid;
    std::optional<std::uint32_t> gid;
    std::optional<std::uint64_t> size;
    std::optional<fskit::FSTimeSpec> accessTime;
    std::optional<fskit::FSTimeSpec> modifyTime;
    /// modifyTime is "now", as the kernel asked for it.
    bool modifyTimeIsNow = false;
    std::optional<fskit::FSTimeSpec> changeTime;
};

/// The kernel's setattr as AttributeChanges. now is the wall time that "set to now" means.
AttributeChanges attributeChangesOf(const struct stat& attributes, int toSet, fskit::FSTimeSpec now);
/// The volume's request for the changes; only the permission bits of a mode are passed on.
std::shared_ptr<fskit::FSItemSetAttributesRequest> setAttributesRequestOf(const AttributeChanges& changes);
/// The errno for changes the volume left unapplied, or 0. A size it did not apply must not look like a
/// successful truncate (ENOTSUP); ownership and permissions it cannot keep are EPERM, as on other file
/// systems without them. Times it keeps its own way are not an error: the platform treats them as not done.
int refusalOf(const fskit::FSItemSetAttributesRequest& request);

/// The kernel's timespec as the volume's time.
fskit::FSTimeSpec timeSpecOf(const struct timespec& time);

} // namespace fusehost
