#pragma once

#include "Corvane/wire/MTPObject.h"

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace corvane {

/// The children of one folder in the order the device listed them: an immutable snapshot that shares its
/// records, so handing a cached listing of ten thousand objects to a caller costs one reference count,
/// and a caller's copy never changes when the cache changes later.
class DirectoryListing {
public:
    using const_iterator = std::vector<MTPObject>::const_iterator;

    /// An empty listing.
    DirectoryListing() : m_objects(nothing()) {}
    explicit DirectoryListing(std::vector<MTPObject> objects)
        : m_objects(std::make_shared<const std::vector<MTPObject>>(std::move(objects))) {}

    const std::vector<MTPObject>& objects() const noexcept { return *m_objects; }
    const_iterator begin() const noexcept { return m_objects->begin(); }
    const_iterator end() const noexcept { return m_objects->end(); }
    std::size_t size() const noexcept { return m_objects->size(); }
    bool empty() const noexcept { return m_objects->empty(); }
    const MTPObject& operator[](std::size_t index) const { return (*m_objects)[index]; }
    /// Whether both are the same snapshot, which tells a listing that was read or changed since apart.
    bool isSameSnapshot(const DirectoryListing& other) const noexcept { return m_objects == other.m_objects; }

    /// A new listing with the object added at the end; this one stays as it is.
    DirectoryListing appending(MTPObject object) const {
        std::vector<MTPObject> objects = *m_objects;
        objects.push_back(std::move(object));
        return DirectoryListing(std::move(objects));
    }
    /// A new listing with the object at index replaced; this one stays as it is.
    DirectoryListing replacing(std::size_t index, MTPObject object) const {
        std::vector<MTPObject> objects = *m_objects;
        objects.at(index) = std::move(object);
        return DirectoryListing(std::move(objects));
    }
    /// A new listing without the object at index; this one stays as it is.
    DirectoryListing removing(std::size_t index) const {
        std::vector<MTPObject> objects = *m_objects;
        objects.erase(objects.begin() + static_cast<std::ptrdiff_t>(index));
        return DirectoryListing(std::move(objects));
    }

private:
    static std::shared_ptr<const std::vector<MTPObject>> nothing() {
        static const auto none = std::make_shared<const std::vector<MTPObject>>();
        return none;
    }

    std::shared_ptr<const std::vector<MTPObject>> m_objects;
};

} // namespace corvane
