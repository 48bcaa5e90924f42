#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace fskit {

/// The 16 bytes of a UUID, in order.
using UUIDBytes = std::array<std::uint8_t, 16>;

/// An identifier made of a UUID: the base of container and volume identifiers.
class FSEntityIdentifier {
public:
    explicit FSEntityIdentifier(const UUIDBytes& uuid) : m_uuid(uuid) {}

    const UUIDBytes& uuid() const noexcept { return m_uuid; }
    /// The canonical text: upper-case hex digits in groups of 8-4-4-4-12.
    std::string uuidString() const;

    friend bool operator==(const FSEntityIdentifier&, const FSEntityIdentifier&) = default;

private:
    UUIDBytes m_uuid;
};

/// Names the container (the device) a probe recognised; the same device must always get the same one.
class FSContainerIdentifier : public FSEntityIdentifier {
public:
    explicit FSContainerIdentifier(const UUIDBytes& uuid) : FSEntityIdentifier(uuid) {}
};

/// Names one volume.
class FSVolumeIdentifier : public FSEntityIdentifier {
public:
    /// A new random (version 4) identifier.
    FSVolumeIdentifier();
    explicit FSVolumeIdentifier(const UUIDBytes& uuid) : FSEntityIdentifier(uuid) {}
};

} // namespace fskit
