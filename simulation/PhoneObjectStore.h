#pragma once

#include "platform/foundation/Clock.h"
#include "simulation/PhoneContent.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace simulation {

/// One storage of the simulated phone, as a test describes it.
struct PhoneStorage {
    /// A storage ID whose low 16 bits are 0 names a physical store without a logical one (an empty card
    /// slot): it is listed, but has no information and holds no objects.
    std::uint32_t id = 0x00010001;
    std::uint16_t storageType = 3;      // fixed RAM, as phones report their shared storage
    std::uint16_t filesystemType = 2;   // generic hierarchical
    std::uint16_t accessCapability = 0; // 0 read-write, 1 read-only, 2 read-only with object deletion
    std::uint64_t maxCapacity = 64ull << 30;
    /// Nothing: the capacity minus the bytes stored on the storage.
    std::optional<std::uint64_t> freeSpace{};
    std::uint32_t freeSpaceObjects = 0xFFFFFFFF;
    std::string description = "Internal shared storage";
    std::string volumeLabel{};
    /// GetStorageIDs leaves the storage out this many more times before it appears, as a phone's card or
    /// shared storage does while it is still being mounted.
    std::uint32_t hiddenForListings = 0;

    bool hasLogicalStorage() const noexcept { return (id & 0xFFFF) != 0; }
    bool isReadOnly() const noexcept { return accessCapability != 0; }
    bool allowsDeletion() const noexcept { return accessCapability != 1; }
};

/// Optional attributes of an object that a test adds.
struct PhoneObjectOptions {
    /// 0: undefined (0x3000) for a file, association (0x3001) for a folder.
    std::uint16_t format = 0;
    std::uint16_t protectionStatus = 0;
    std::optional<platform::Clock::WallTime> modified{};
    std::optional<platform::Clock::WallTime> created{};
};

/// One file or folder of the simulated phone.
struct PhoneObject {
    std::uint32_t handle = 0;
    std::uint32_t storageID = 0;
    /// 0 at the top of a storage, which is how phones report it in ObjectInfo.
    std::uint32_t parent = 0;
    std::string name;
    std::uint16_t format = 0x3000;
    std::uint16_t protectionStatus = 0;
    std::optional<platform::Clock::WallTime> created;
    std::optional<platform::Clock::WallTime> modified;
    /// When set, ObjectInfo and the date property carry this text instead of the formatted date, for
    /// tests of date forms the phone would not write itself.
    std::optional<std::string> modificationText;
    /// The size the phone's database reports. It trails the content during an edit session, as an
    /// Android phone's does, and catches up when the edit ends.
    std::uint64_t reportedSize = 0;
    PhoneContent content;

    bool isFolder() const noexcept { return format == 0x3001; }
};

/// The phone's storages and object tree. A plain container: the phone's lock guards it, and the phone
/// checks every protocol rule before calling it.
class PhoneObjectStore {
public:
    PhoneStorage& addStorage(PhoneStorage storage);
    /// Removes the storage and every object on it.
    void removeStorage(std::uint32_t id);
    PhoneStorage* findStorage(std::uint32_t id);
    const PhoneStorage* findStorage(std::uint32_t id) const;
    std::vector<PhoneStorage>& storages() noexcept { return m_storages; }
    const std::vector<PhoneStorage>& storages() const noexcept { return m_storages; }

    /// Creates an object with the next handle; parent 0 is the top of the storage.
    PhoneObject& create(std::uint32_t storage, std::uint32_t parent, std::string name, std::uint16_t format,
                        PhoneContent content);
    PhoneObject* find(std::uint32_t handle);
    const PhoneObject* find(std::uint32_t handle) const;

    /// The children of a folder (parent 0: the top of the storage), in creation order.
    const std::vector<std::uint32_t>& children(std::uint32_t storage, std::uint32_t parent) const;
    /// The first child of that exact name (byte for byte, as a Linux file system compares names).
    std::optional<std::uint32_t> childNamed(std::uint32_t storage, std::uint32_t parent,
                                            std::string_view name) const;
    /// Every object of the storage, in handle order; every object of all storages for 0xFFFFFFFF.
    std::vector<std::uint32_t> objectsIn(std::uint32_t storage) const;
    /// The object and everything below it, parents before children.
    std::vector<std::uint32_t> subtree(std::uint32_t handle) const;
    /// Whether handle is ancestor or lies below it.
    bool isWithin(std::uint32_t handle, std::uint32_t ancestor) const;

    /// Removes the object and everything below it.
    void remove(std::uint32_t handle);
    /// Moves the object (and what lies below it) under parent on storage, keeping the handles.
    void move(std::uint32_t handle, std::uint32_t storage, std::uint32_t parent);
    void rename(std::uint32_t handle, std::string name);

    /// Bytes held by the objects of the storage, by their reported sizes.
    std::uint64_t usedBytes(std::uint32_t storage) const;
    /// The free space the storage reports.
    std::uint64_t freeSpace(const PhoneStorage& storage) const;

private:
    using FolderKey = std::pair<std::uint32_t, std::uint32_t>;

    void unlink(const PhoneObject& object);

    std::vector<PhoneStorage> m_storages;
    std::map<std::uint32_t, PhoneObject> m_objects;
    std::map<FolderKey, std::vector<std::uint32_t>> m_children;
    std::uint32_t m_nextHandle = 1;
};

} // namespace simulation
