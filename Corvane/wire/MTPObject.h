#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvane {

struct ObjectInfo;

/// The library's record of one file or folder on the device. Records are the same object exactly when
/// their handles are equal, whatever else differs, so sets and maps keep one record per handle.
class MTPObject {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    MTPObject(std::uint32_t handle, std::uint32_t storageID, std::uint32_t parent, std::string name,
              std::uint64_t size, std::uint16_t format, std::optional<TimePoint> modified, bool isReadOnly);
    /// The record of a dataset: size64 when given, else compressedSize widened (0xFFFFFFFF stays); the
    /// modification date when it parses; read-only when the dataset marks any protection.
    MTPObject(std::uint32_t handle, const ObjectInfo& info,
              std::optional<std::uint64_t> size64 = std::nullopt);

    std::uint32_t handle() const noexcept { return m_handle; }
    std::uint32_t id() const noexcept { return m_handle; }
    std::uint32_t storageID() const noexcept { return m_storageID; }
    /// The parent's handle as the device reports it.
    std::uint32_t parent() const noexcept { return m_parent; }
    const std::string& name() const noexcept { return m_name; }
    std::uint64_t size() const noexcept { return m_size; }
    std::uint16_t format() const noexcept { return m_format; }
    bool isDirectory() const noexcept;
    const std::optional<TimePoint>& modified() const noexcept { return m_modified; }
    bool isReadOnly() const noexcept { return m_isReadOnly; }

    friend bool operator==(const MTPObject& a, const MTPObject& b) noexcept {
        return a.m_handle == b.m_handle;
    }

private:
    std::uint32_t m_handle;
    std::uint32_t m_storageID;
    std::uint32_t m_parent;
    std::string m_name;
    std::uint64_t m_size;
    std::uint16_t m_format;
    std::optional<TimePoint> m_modified;
    bool m_isReadOnly;
};

} // namespace corvane

template <> struct std::hash<corvane::MTPObject> {
    std::size_t operator()(const corvane::MTPObject& object) const noexcept {
        return std::hash<std::uint32_t>{}(object.handle());
    }
};
