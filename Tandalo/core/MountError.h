#pragma once

#include <stdexcept>
#include <string>

namespace tandalo::app {

/// What the mount tool's output says beyond its message, for the application to decide on retries.
struct MountFindings {
    /// Something already exists at the mount point.
    bool isStaleMountPoint = false;
    /// The phone has not allowed access to its data yet.
    bool isAccessNotGranted = false;
    /// Another process holds the device.
    bool isHeldByAnotherApp = false;

    bool operator==(const MountFindings&) const = default;
};

/// The mount manager's one error: a complete sentence for the user, and the findings about the mount
/// tool's output (all false for unmount and folder errors). what() is the message.
class MountError : public std::runtime_error {
public:
    explicit MountError(const std::string& message, MountFindings findings = {})
        : std::runtime_error(message), m_findings(findings) {}

    std::string message() const { return what(); }
    const MountFindings& findings() const noexcept { return m_findings; }
    bool isStaleMountPoint() const noexcept { return m_findings.isStaleMountPoint; }
    bool isAccessNotGranted() const noexcept { return m_findings.isAccessNotGranted; }
    bool isHeldByAnotherApp() const noexcept { return m_findings.isHeldByAnotherApp; }

private:
    MountFindings m_findings;
};

/// A mount folder that holds, or lies behind, something another user could have planted: nothing is made
/// or mounted there, and the message, which names the place, is shown as it is.
class UnsafeMountFolderError : public MountError {
public:
    explicit UnsafeMountFolderError(const std::exception& cause)
        : MountError(std::string(cause.what()) + " Choose another folder for mounted devices in Settings.") {}
};

} // namespace tandalo::app
