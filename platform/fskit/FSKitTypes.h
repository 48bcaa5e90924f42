#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace fskit {

/// A set of bit flags over one of the flag enumerations below: what FSKit's option sets are.
template <typename Enum> class OptionSet {
public:
    using RawValue = std::underlying_type_t<Enum>;

    constexpr OptionSet() = default;
    constexpr OptionSet(Enum option) : m_raw(static_cast<RawValue>(option)) {}
    static constexpr OptionSet fromRawValue(RawValue raw) {
        OptionSet set;
        set.m_raw = raw;
        return set;
    }

    constexpr RawValue rawValue() const { return m_raw; }
    constexpr bool isEmpty() const { return m_raw == 0; }
    /// True when every bit of the options is in the set.
    constexpr bool contains(OptionSet options) const { return (m_raw & options.m_raw) == options.m_raw; }
    constexpr void insert(OptionSet options) { m_raw |= options.m_raw; }
    constexpr void remove(OptionSet options) { m_raw &= ~options.m_raw; }

    friend constexpr OptionSet operator|(OptionSet a, OptionSet b) { return fromRawValue(a.m_raw | b.m_raw); }
    friend constexpr OptionSet operator&(OptionSet a, OptionSet b) { return fromRawValue(a.m_raw & b.m_raw); }
    friend constexpr bool operator==(OptionSet a, OptionSet b) = default;

private:
    RawValue m_raw = 0;
};

/// An item's identifier, as the volume hands it out in attributes and directory entries.
using FSItemID = std::uint64_t;
inline constexpr FSItemID FSItemIDInvalid = 0;
inline constexpr FSItemID FSItemIDParentOfRoot = 1;
inline constexpr FSItemID FSItemIDRootDirectory = 2;

/// A position in a directory listing, chosen by the volume; 0 starts a listing.
using FSDirectoryCookie = std::uint64_t;
inline constexpr FSDirectoryCookie FSDirectoryCookieInitial = 0;

/// A volume's token for "the listing has not changed since"; 0 before the first page.
using FSDirectoryVerifier = std::uint64_t;
inline constexpr FSDirectoryVerifier FSDirectoryVerifierInitial = 0;

enum class FSItemType : std::uint8_t {
    unknown,
    file,
    directory,
    symlink,
    fifo,
    charDevice,
    blockDevice,
    socket
};

/// One attribute of an item; the values are the bits of FSKit's attribute masks.
enum class FSItemAttribute : std::uint64_t {
    type = 1 << 0,
    mode = 1 << 1,
    linkCount = 1 << 2,
    uid = 1 << 3,
    gid = 1 << 4,
    flags = 1 << 5,
    size = 1 << 6,
    allocSize = 1 << 7,
    fileID = 1 << 8,
    parentID = 1 << 9,
    accessTime = 1 << 10,
    modifyTime = 1 << 11,
    changeTime = 1 << 12,
    birthTime = 1 << 13,
    backupTime = 1 << 14,
    addedTime = 1 << 15,
    supportsLimitedXAttrs = 1 << 16,
};
using FSItemAttributeSet = OptionSet<FSItemAttribute>;

/// The access an open asks for; the values are the kernel's FREAD and FWRITE.
enum class FSVolumeOpenMode : std::uint32_t { read = 1, write = 2 };
using FSVolumeOpenModes = OptionSet<FSVolumeOpenMode>;

/// How hard a synchronize must wait; the values are the mount flags MNT_WAIT, MNT_NOWAIT, MNT_DWAIT.
enum class FSSyncFlags : std::uint32_t { wait = 1, noWait = 2, dWait = 4 };

enum class FSDeactivateOption : std::uint32_t { force = 1 };
using FSDeactivateOptions = OptionSet<FSDeactivateOption>;

template <typename Enum> inline constexpr bool isFSOptionEnum = false;
template <> inline constexpr bool isFSOptionEnum<FSItemAttribute> = true;
template <> inline constexpr bool isFSOptionEnum<FSVolumeOpenMode> = true;
template <> inline constexpr bool isFSOptionEnum<FSDeactivateOption> = true;

template <typename Enum>
requires isFSOptionEnum<Enum>
constexpr OptionSet<Enum> operator|(Enum a, Enum b) {
    return OptionSet<Enum>(a) | OptionSet<Enum>(b);
}

/// A point in time as seconds and nanoseconds since 1970, both signed 64-bit.
struct FSTimeSpec {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    friend constexpr auto operator<=>(const FSTimeSpec&, const FSTimeSpec&) = default;
};

/// The options of a mount task, as the mount tool passes them on (for example "--rdonly").
class FSTaskOptions {
public:
    /// The option a read-only mount carries.
    static constexpr std::string_view readOnly = "--rdonly";

    FSTaskOptions() = default;
    explicit FSTaskOptions(std::vector<std::string> taskOptions) : m_taskOptions(std::move(taskOptions)) {}

    const std::vector<std::string>& taskOptions() const { return m_taskOptions; }

private:
    std::vector<std::string> m_taskOptions;
};

} // namespace fskit
