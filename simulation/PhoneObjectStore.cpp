#include "simulation/PhoneObjectStore.h"

#include <algorithm>
#include <stdexcept>

namespace simulation {

PhoneStorage& PhoneObjectStore::addStorage(PhoneStorage storage) {
    if (findStorage(storage.id) != nullptr) {
        throw std::invalid_argument("the phone already has a storage with this ID");
    }
    m_storages.push_back(std::move(storage));
    return m_storages.back();
}

void PhoneObjectStore::removeStorage(std::uint32_t id) {
    const std::vector<std::uint32_t> topLevel = children(id, 0);
    for (const std::uint32_t handle : topLevel) {
        remove(handle);
    }
    m_children.erase({id, 0});
    std::erase_if(m_storages, [id](const PhoneStorage& storage) { return storage.id == id; });
}

PhoneStorage* PhoneObjectStore::findStorage(std::uint32_t id) {
    const auto found = std::find_if(m_storages.begin(), m_storages.end(),
                                    [id](const PhoneStorage& s) { return s.id == id; });
    return found == m_storages.end() ? nullptr : &*found;
}

const PhoneStorage* PhoneObjectStore::findStorage(std::uint32_t id) const {
    return const_cast<PhoneObjectStore*>(this)->findStorage(id);
}

PhoneObject& PhoneObjectStore::create(std::uint32_t storage, std::uint32_t parent, std::string name,
                                      std::uint16_t format, PhoneContent content) {
    const std::uint32_t handle = m_nextHandle++;
    PhoneObject object;
    object.handle = handle;
    object.storageID = storage;
    object.parent = parent;
    object.name = std::move(name);
    object.format = format;
    object.reportedSize = object.isFolder() ? 0 : content.size();
    object.content = std::move(content);
    m_children[{storage, parent}].push_back(handle);
    return m_objects.emplace(handle, std::move(object)).first->second;
}

PhoneObject* PhoneObjectStore::find(std::uint32_t handle) {
    const auto found = m_objects.find(handle);
    return found == m_objects.end() ? nullptr : &found->second;
}

const PhoneObject* PhoneObjectStore::find(std::uint32_t handle) const {
    const auto found = m_objects.find(handle);
    return found == m_objects.end() ? nullptr : &found->second;
}

const std::vector<std::uint32_t>& PhoneObjectStore::children(std::uint32_t storage,
                                                             std::uint32_t parent) const {
    static const std::vector<std::uint32_t> none;
    const auto found = m_children.find({storage, parent});
    return found == m_children.end() ? none : found->second;
}

std::optional<std::uint32_t> PhoneObjectStore::childNamed(std::uint32_t storage, std::uint32_t parent,
                                                          std::string_view name) const {
    for (const std::uint32_t handle : children(storage, parent)) {
        if (find(handle)->name == name) {
            return handle;
        }
    }
    return std::nullopt;
}

std::vector<std::uint32_t> PhoneObjectStore::objectsIn(std::uint32_t storage) const {
    std::vector<std::uint32_t> handles;
    for (const auto& [handle, object] : m_objects) {
        if (storage == 0xFFFFFFFF || object.storageID == storage) {
            handles.push_back(handle);
        }
    }
    return handles;
}

std::vector<std::uint32_t> PhoneObjectStore::subtree(std::uint32_t handle) const {
    std::vector<std::uint32_t> result{handle};
    for (std::size_t i = 0; i < result.size(); ++i) {
        const PhoneObject* object = find(result[i]);
        if (object != nullptr && object->isFolder()) {
            const auto& below = children(object->storageID, object->handle);
            result.insert(result.end(), below.begin(), below.end());
        }
    }
    return result;
}

bool PhoneObjectStore::isWithin(std::uint32_t handle, std::uint32_t ancestor) const {
    for (const PhoneObject* object = find(handle); object != nullptr; object = find(object->parent)) {
        if (object->handle == ancestor) {
            return true;
        }
        if (object->parent == 0) {
            return false;
        }
    }
    return false;
}

void PhoneObjectStore::unlink(const PhoneObject& object) {
    const auto siblings = m_children.find({object.storageID, object.parent});
    if (siblings != m_children.end()) {
        std::erase(siblings->second, object.handle);
    }
}

void PhoneObjectStore::remove(std::uint32_t handle) {
    const PhoneObject* object = find(handle);
    if (object == nullptr) {
        return;
    }
    unlink(*object);
    const std::vector<std::uint32_t> doomed = subtree(handle);
    for (const std::uint32_t each : doomed) {
        const PhoneObject* gone = find(each);
        m_children.erase({gone->storageID, gone->handle});
        m_objects.erase(each);
    }
}

void PhoneObjectStore::move(std::uint32_t handle, std::uint32_t storage, std::uint32_t parent) {
    PhoneObject* object = find(handle);
    if (object == nullptr) {
        return;
    }
    const std::uint32_t oldStorage = object->storageID;
    const std::vector<std::uint32_t> moved = subtree(handle);
    unlink(*object);
    object->parent = parent;
    m_children[{storage, parent}].push_back(handle);
    if (oldStorage == storage) {
        return;
    }
    for (const std::uint32_t each : moved) {
        PhoneObject* below = find(each);
        below->storageID = storage;
        if (auto node = m_children.extract({oldStorage, each}); !node.empty()) {
            node.key() = {storage, each};
            m_children.insert(std::move(node));
        }
    }
}

void PhoneObjectStore::rename(std::uint32_t handle, std::string name) {
    if (PhoneObject* object = find(handle)) {
        object->name = std::move(name);
    }
}

std::uint64_t PhoneObjectStore::usedBytes(std::uint32_t storage) const {
    std::uint64_t used = 0;
    for (const auto& [handle, object] : m_objects) {
        if (object.storageID == storage) {
            used += object.reportedSize;
        }
    }
    return used;
}

std::uint64_t PhoneObjectStore::freeSpace(const PhoneStorage& storage) const {
    if (storage.freeSpace) {
        return *storage.freeSpace;
    }
    const std::uint64_t used = usedBytes(storage.id);
    return used >= storage.maxCapacity ? 0 : storage.maxCapacity - used;
}

} // namespace simulation
