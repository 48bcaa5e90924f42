#pragma once

#include "platform/fskit/FSKitTypes.h"

#include <cstdint>

namespace fskit {

/// The attributes of an item. Each setter also marks its attribute valid; an attribute never set is
/// invalid and reads as zero.
class FSItemAttributes {
public:
    FSItemAttributes() = default;
    virtual ~FSItemAttributes() = default;
    FSItemAttributes(const FSItemAttributes&) = default;
    FSItemAttributes& operator=(const FSItemAttributes&) = default;

    bool isValid(FSItemAttribute attribute) const { return m_valid.contains(attribute); }
    FSItemAttributeSet validAttributes() const { return m_valid; }

    FSItemType type() const { return m_type; }
    std::uint32_t mode() const { return m_mode; }
    std::uint32_t linkCount() const { return m_linkCount; }
    std::uint32_t uid() const { return m_uid; }
    std::uint32_t gid() const { return m_gid; }
    std::uint32_t flags() const { return m_flags; }
    std::uint64_t size() const { return m_size; }
    std::uint64_t allocSize() const { return m_allocSize; }
    FSItemID fileID() const { return m_fileID; }
    FSItemID parentID() const { return m_parentID; }
    bool supportsLimitedXAttrs() const { return m_supportsLimitedXAttrs; }
    FSTimeSpec accessTime() const { return m_accessTime; }
    FSTimeSpec modifyTime() const { return m_modifyTime; }
    FSTimeSpec changeTime() const { return m_changeTime; }
    FSTimeSpec birthTime() const { return m_birthTime; }
    FSTimeSpec backupTime() const { return m_backupTime; }
    FSTimeSpec addedTime() const { return m_addedTime; }

    void setType(FSItemType value) { set(m_type, value, FSItemAttribute::type); }
    void setMode(std::uint32_t value) { set(m_mode, value, FSItemAttribute::mode); }
    void setLinkCount(std::uint32_t value) { set(m_linkCount, value, FSItemAttribute::linkCount); }
    void setUid(std::uint32_t value) { set(m_uid, value, FSItemAttribute::uid); }
    void setGid(std::uint32_t value) { set(m_gid, value, FSItemAttribute::gid); }
    void setFlags(std::uint32_t value) { set(m_flags, value, FSItemAttribute::flags); }
    void setSize(std::uint64_t value) { set(m_size, value, FSItemAttribute::size); }
    void setAllocSize(std::uint64_t value) { set(m_allocSize, value, FSItemAttribute::allocSize); }
    void setFileID(FSItemID value) { set(m_fileID, value, FSItemAttribute::fileID); }
    void setParentID(FSItemID value) { set(m_parentID, value, FSItemAttribute::parentID); }
    void setSupportsLimitedXAttrs(bool value) {
        set(m_supportsLimitedXAttrs, value, FSItemAttribute::supportsLimitedXAttrs);
    }
    void setAccessTime(FSTimeSpec value) { set(m_accessTime, value, FSItemAttribute::accessTime); }
    void setModifyTime(FSTimeSpec value) { set(m_modifyTime, value, FSItemAttribute::modifyTime); }
    void setChangeTime(FSTimeSpec value) { set(m_changeTime, value, FSItemAttribute::changeTime); }
    void setBirthTime(FSTimeSpec value) { set(m_birthTime, value, FSItemAttribute::birthTime); }
    void setBackupTime(FSTimeSpec value) { set(m_backupTime, value, FSItemAttribute::backupTime); }
    void setAddedTime(FSTimeSpec value) { set(m_addedTime, value, FSItemAttribute::addedTime); }

private:
    template <typename T> void set(T& field, T value, FSItemAttribute attribute) {
        field = value;
        m_valid.insert(attribute);
    }

    FSItemAttributeSet m_valid;
    FSItemType m_type = FSItemType::unknown;
    std::uint32_t m_mode = 0;
    std::uint32_t m_linkCount = 0;
    std::uint32_t m_uid = 0;
    std::uint32_t m_gid = 0;
    std::uint32_t m_flags = 0;
    std::uint64_t m_size = 0;
    std::uint64_t m_allocSize = 0;
    FSItemID m_fileID = FSItemIDInvalid;
    FSItemID m_parentID = FSItemIDInvalid;
    bool m_supportsLimitedXAttrs = false;
    FSTimeSpec m_accessTime;
    FSTimeSpec m_modifyTime;
    FSTimeSpec m_changeTime;
    FSTimeSpec m_birthTime;
    FSTimeSpec m_backupTime;
    FSTimeSpec m_addedTime;
};

/// Which attributes the platform wants; a volume may fill more.
class FSItemGetAttributesRequest {
public:
    /// By default every attribute is wanted.
    FSItemGetAttributesRequest() : m_wanted(FSItemAttributeSet::fromRawValue(~std::uint64_t{0})) {}
    explicit FSItemGetAttributesRequest(FSItemAttributeSet wanted) : m_wanted(wanted) {}

    FSItemAttributeSet wantedAttributes() const { return m_wanted; }
    bool isAttributeWanted(FSItemAttribute attribute) const { return m_wanted.contains(attribute); }

private:
    FSItemAttributeSet m_wanted;
};

/// The attributes a caller asks to change (the valid ones). The volume marks those it applied as
/// consumed; the platform treats the rest as not done.
class FSItemSetAttributesRequest : public FSItemAttributes {
public:
    FSItemAttributeSet consumedAttributes() const { return m_consumed; }
    void setConsumedAttributes(FSItemAttributeSet consumed) { m_consumed = consumed; }
    bool wasAttributeConsumed(FSItemAttribute attribute) const { return m_consumed.contains(attribute); }
    /// The modify time is the caller's "now" (utimensat's UTIME_NOW), not a time it chose.
    bool modifyTimeIsNow() const { return m_modifyTimeIsNow; }
    void setModifyTimeIsNow(bool isNow) { m_modifyTimeIsNow = isNow; }

private:
    FSItemAttributeSet m_consumed;
    bool m_modifyTimeIsNow = false;
};

} // namespace fskit
