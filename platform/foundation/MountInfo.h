#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// One mount of the kernel's mount table, as /proc/<pid>/mountinfo lists it, with the escapes of its text
/// fields decoded. A plain value.
struct MountInfo {
    std::uint64_t mountID = 0;
    std::uint64_t parentID = 0;
    /// The device numbers of the mounted file system (st_dev of its files).
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;
    std::filesystem::path mountPoint;
    std::string mountOptions;
    /// "ext4", "fuse.tandalo", ...
    std::string fileSystemType;
    /// What was mounted, as the mount named it (a device, a resource, "none").
    std::string source;
    std::string superOptions;

    /// The mounts of the table's text, in its order; a line that cannot be read is left out.
    static std::vector<MountInfo> parse(std::string_view text);
    /// The calling process's mount table; empty when it cannot be read. Blocks for the file's input.
    static std::vector<MountInfo> read(const std::filesystem::path& file = "/proc/self/mountinfo");

    bool operator==(const MountInfo&) const = default;
};

/// Decodes the three-digit octal escapes that mount tables write for blanks, tabs, newlines and
/// backslashes ("\040" gives " "); any other backslash stays as it is.
std::string unescapeMountField(std::string_view field);

} // namespace platform
