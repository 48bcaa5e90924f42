#include "platform/fuse/FuseConversions.h"

#include "platform/fskit/Error.h"
#include "platform/fuse/FuseError.h"

#include <cerrno>
#include <fuse_lowlevel.h>
#include <new>

namespace fusehost {

namespace {

struct timespec timespecOf(fskit::FSTimeSpec time) {
    struct timespec converted {};
    converted.tv_sec = static_cast<time_t>(time.seconds);
    // A volume that hands out nanoseconds outside one second would make the kernel reject the reply.
    converted.tv_nsec = (time.nanoseconds >= 0 && time.nanoseconds < 1'000'000'000) ? time.nanoseconds : 0;
    return converted;
}

constexpr std::uint32_t permissionBits = 07777;

} // namespace

fskit::FSTimeSpec timeSpecOf(const struct timespec& time) {
    return fskit::FSTimeSpec{static_cast<std::int64_t>(time.tv_sec), static_cast<std::int64_t>(time.tv_nsec)};
}

mode_t modeTypeBits(fskit::FSItemType type) {
    switch (type) {
    case fskit::FSItemType::directory:
        return S_IFDIR;
    case fskit::FSItemType::symlink:
        return S_IFLNK;
    case fskit::FSItemType::fifo:
        return S_IFIFO;
    case fskit::FSItemType::charDevice:
        return S_IFCHR;
    case fskit::FSItemType::blockDevice:
        return S_IFBLK;
    case fskit::FSItemType::socket:
        return S_IFSOCK;
    case fskit::FSItemType::file:
    case fskit::FSItemType::unknown:
        break;
    }
    return S_IFREG;
}

fskit::FSItemType itemTypeOfMode(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFREG:
        return fskit::FSItemType::file;
    case S_IFDIR:
        return fskit::FSItemType::directory;
    case S_IFLNK:
        return fskit::FSItemType::symlink;
    case S_IFIFO:
        return fskit::FSItemType::fifo;
    case S_IFCHR:
        return fskit::FSItemType::charDevice;
    case S_IFBLK:
        return fskit::FSItemType::blockDevice;
    case S_IFSOCK:
        return fskit::FSItemType::socket;
    default:
        return fskit::FSItemType::unknown;
    }
}

struct stat statOf(const fskit::FSItemAttributes& attributes, NodeID node, const StatDefaults& defaults) {
    using fskit::FSItemAttribute;
    struct stat result {};
    const auto type = attributes.isValid(FSItemAttribute::type) ? attributes.type() : fskit::FSItemType::file;
    const bool isDirectory = type == fskit::FSItemType::directory;
    const std::uint32_t permissions = attributes.isValid(FSItemAttribute::mode)
                                          ? (attributes.mode() & permissionBits)
                                          : (isDirectory ? 0755U : 0644U);
    result.st_mode = modeTypeBits(type) | permissions;
    result.st_ino =
        attributes.isValid(FSItemAttribute::fileID) && attributes.fileID() != fskit::FSItemIDInvalid
            ? attributes.fileID()
            : node;
    result.st_nlink = attributes.isValid(FSItemAttribute::linkCount) && attributes.linkCount() > 0
                          ? attributes.linkCount()
                          : 1;
    result.st_uid = attributes.isValid(FSItemAttribute::uid) ? attributes.uid() : defaults.uid;
    result.st_gid = attributes.isValid(FSItemAttribute::gid) ? attributes.gid() : defaults.gid;
    const std::uint64_t size = attributes.isValid(FSItemAttribute::size) ? attributes.size() : 0;
    // off_t is signed: a size beyond its range would read as negative, so it is held at the largest.
    result.st_size = size > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<off_t>(size);
    const std::uint64_t allocated =
        attributes.isValid(FSItemAttribute::allocSize) ? attributes.allocSize() : size;
    result.st_blocks = static_cast<blkcnt_t>(allocated / 512 + (allocated % 512 != 0 ? 1 : 0));
    result.st_blksize = defaults.ioBlockSize;
    const auto modified =
        attributes.isValid(FSItemAttribute::modifyTime) ? attributes.modifyTime() : fskit::FSTimeSpec{};
    result.st_mtim = timespecOf(modified);
    result.st_atim =
        timespecOf(attributes.isValid(FSItemAttribute::accessTime) ? attributes.accessTime() : modified);
    result.st_ctim =
        timespecOf(attributes.isValid(FSItemAttribute::changeTime) ? attributes.changeTime() : modified);
    return result;
}

struct statvfs statvfsOf(const fskit::FSStatFSResult& statistics, std::uint32_t maximumNameLength) {
    struct statvfs result {};
    const std::uint64_t blockSize = statistics.blockSize != 0 ? statistics.blockSize : 4096;
    const auto blocks = [&](std::uint64_t count, std::uint64_t bytes) {
        return count != 0 ? count : bytes / blockSize;
    };
    result.f_bsize = statistics.ioSize != 0 ? statistics.ioSize : blockSize;
    result.f_frsize = blockSize;
    result.f_blocks = blocks(statistics.totalBlocks, statistics.totalBytes);
    result.f_bfree = blocks(statistics.freeBlocks, statistics.freeBytes);
    result.f_bavail = blocks(statistics.availableBlocks, statistics.availableBytes);
    result.f_files = statistics.totalFiles;
    result.f_ffree = statistics.freeFiles;
    result.f_favail = statistics.freeFiles;
    result.f_namemax = maximumNameLength;
    return result;
}

int errnoOf(const fskit::Error& error) noexcept {
    // Codes above 4095 cannot be told apart from addresses in the kernel's replies; 0 would read as success.
    if (error.isPOSIX() && error.code() > 0 && error.code() < 4096) {
        return error.code();
    }
    return EIO;
}

int errnoOf(const std::exception_ptr& error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (const fskit::Error& fsError) {
        return errnoOf(fsError);
    } catch (const FuseError& fuseError) {
        return fuseError.code();
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (...) {
        return EIO;
    }
}

AttributeChanges attributeChangesOf(const struct stat& attributes, int toSet, fskit::FSTimeSpec now) {
    AttributeChanges changes;
    if ((toSet & FUSE_SET_ATTR_MODE) != 0) {
        changes.mode = attributes.st_mode;
    }
    if ((toSet & FUSE_SET_ATTR_UID) != 0) {
        changes.uid = attributes.st_uid;
    }
    if ((toSet & FUSE_SET_ATTR_GID) != 0) {
        changes.gid = attributes.st_gid;
    }
    if ((toSet & FUSE_SET_ATTR_SIZE) != 0) {
        changes.size = attributes.st_size < 0 ? 0 : static_cast<std::uint64_t>(attributes.st_size);
    }
    if ((toSet & FUSE_SET_ATTR_ATIME_NOW) != 0) {
        changes.accessTime = now;
    } else if ((toSet & FUSE_SET_ATTR_ATIME) != 0) {
        changes.accessTime = timeSpecOf(attributes.st_atim);
    }
    if ((toSet & FUSE_SET_ATTR_MTIME_NOW) != 0) {
        changes.modifyTime = now;
        changes.modifyTimeIsNow = true;
    } else if ((toSet & FUSE_SET_ATTR_MTIME) != 0) {
        changes.modifyTime = timeSpecOf(attributes.st_mtim);
    }
    if ((toSet & FUSE_SET_ATTR_CTIME) != 0) {
        changes.changeTime = timeSpecOf(attributes.st_ctim);
    }
    return changes;
}

std::shared_ptr<fskit::FSItemSetAttributesRequest> setAttributesRequestOf(const AttributeChanges& changes) {
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    if (changes.mode) {
        request->setMode(*changes.mode & permissionBits);
    }
    if (changes.uid) {
        request->setUid(*changes.uid);
    }
    if (changes.gid) {
        request->setGid(*changes.gid);
    }
    if (changes.size) {
        request->setSize(*changes.size);
    }
    if (changes.accessTime) {
        request->setAccessTime(*changes.accessTime);
    }
    if (changes.modifyTime) {
        request->setModifyTime(*changes.modifyTime);
        request->setModifyTimeIsNow(changes.modifyTimeIsNow);
    }
    if (changes.changeTime) {
        request->setChangeTime(*changes.changeTime);
    }
    return request;
}

int refusalOf(const fskit::FSItemSetAttributesRequest& request) {
    using fskit::FSItemAttribute;
    const auto unapplied = [&](FSItemAttribute attribute) {
        return request.isValid(attribute) && !request.wasAttributeConsumed(attribute);
    };
    if (unapplied(FSItemAttribute::size)) {
        return ENOTSUP;
    }
    // A modification time that the volume did not keep is no success: rsync and cp -p would take the file
    // for unchanged when it is not, or copy it again every time.
    if (unapplied(FSItemAttribute::mode) || unapplied(FSItemAttribute::uid) ||
        unapplied(FSItemAttribute::gid) || unapplied(FSItemAttribute::modifyTime)) {
        return EPERM;
    }
    return 0;
}

} // namespace fusehost
