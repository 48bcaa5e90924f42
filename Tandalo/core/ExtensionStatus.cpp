#include "Tandalo/core/ExtensionStatus.h"

#include "platform/foundation/URL.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/XDGFolders.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tandalo::app {

namespace {

using Finding = FuseExtensionStatus::Finding;
using Outcome = Finding::Outcome;

std::string describe(int errorNumber) {
    return std::generic_category().message(errorNumber);
}

Finding unmet(std::string problem) {
    return {Outcome::unmet, std::move(problem)};
}

Finding unknown(const std::filesystem::path& path, int errorNumber) {
    return {Outcome::unknown, path.string() + ": " + describe(errorNumber)};
}

/// Whether the errno of a look-up says the thing is not there for this user, rather than that the look
/// itself failed.
bool meansAbsent(int errorNumber) {
    return errorNumber == ENOENT || errorNumber == ENOTDIR || errorNumber == EACCES || errorNumber == EPERM;
}

enum class SetUserID { notNeeded, rootNeeded };

Finding findProgram(const std::filesystem::path& path, SetUserID setUserID) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return meansAbsent(errno) ? unmet(path.string() + " is missing.") : unknown(path, errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return unmet(path.string() + " is not a program.");
    }
    if (::access(path.c_str(), X_OK) != 0) {
        return meansAbsent(errno) ? unmet(path.string() + " may not be run by this user.")
                                  : unknown(path, errno);
    }
    if (setUserID == SetUserID::rootNeeded && (info.st_uid != 0 || (info.st_mode & S_ISUID) == 0)) {
        return unmet(path.string() + " is not set-user-ID root, so only root can mount with it.");
    }
    return {};
}

Finding findFuseDevice(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return meansAbsent(errno)
                   ? unmet(path.string() + " is missing: the kernel's FUSE module is not loaded.")
                   : unknown(path, errno);
    }
    if (!S_ISCHR(info.st_mode)) {
        return unmet(path.string() + " is not a device.");
    }
    // Opening it alone makes no mount: the connection it starts ends when it is closed.
    const platform::UniqueFd device(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (device) {
        return {};
    }
    const int error = errno;
    if (error == EACCES || error == EPERM) {
        return unmet("This user may not read and write " + path.string() + ".");
    }
    if (error == ENODEV || error == ENXIO || error == ENOENT) {
        return unmet(path.string() + " does not answer: the kernel's FUSE module is not loaded.");
    }
    return unknown(path, error);
}

std::string escapeHTML(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char character : text) {
        switch (character) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            escaped += character;
        }
    }
    return escaped;
}

/// One requirement as a list item: what it is, whether it is met, and how to meet it when it is not.
std::string item(std::string_view what, const std::filesystem::path& path, const Finding& finding,
                 std::string_view remedy) {
    std::string text = "<li class=\"";
    text += finding.outcome == Outcome::met ? "met" : "unmet";
    text += "\"><strong>" + std::string(what) + "</strong>, <code>" + escapeHTML(path.string()) + "</code>: ";
    switch (finding.outcome) {
    case Outcome::met:
        text += "in place.";
        break;
    case Outcome::unmet:
        text += escapeHTML(finding.problem) + " " + std::string(remedy);
        break;
    case Outcome::unknown:
        text += "it could not be checked (" + escapeHTML(finding.problem) + ").";
        break;
    }
    return text + "</li>\n";
}

} // namespace

FuseExtensionStatus::FuseExtensionStatus(Requirements requirements, Workspace& workspace,
                                         const platform::Environment& environment,
                                         const BundleInformation& bundle)
    : m_requirements(std::move(requirements)), m_workspace(workspace), m_environment(environment),
      m_bundle(bundle) {}

FuseExtensionStatus::Findings FuseExtensionStatus::check() const {
    return Findings{
        findProgram(m_requirements.mountTool, SetUserID::notNeeded),
        findFuseDevice(m_requirements.fuseDevice),
        findProgram(m_requirements.fusermount,
                    m_requirements.userID == 0 ? SetUserID::notNeeded : SetUserID::rootNeeded),
    };
}

Task<std::optional<bool>> FuseExtensionStatus::isEnabled() {
    const auto findings = check();
    for (const auto* finding : {&findings.mountTool, &findings.fuseDevice, &findings.fusermount}) {
        if (finding->outcome == Outcome::unknown) {
            m_log.error("fetchInstalledExtensions failed: %{public}s", finding->problem);
            co_return std::nullopt;
        }
    }
    // mount-tandalo is the module: without it nothing is installed; with it, FUSE decides.
    const bool installed = findings.mountTool.outcome == Outcome::met;
    const bool enabled = installed && findings.fuseDevice.outcome == Outcome::met &&
                         findings.fusermount.outcome == Outcome::met;
    const std::string modules =
        installed ? std::string(extensionIdentifier) + (enabled ? "=true" : "=false") : std::string();
    m_log.info("installed file system modules: %{public}s", modules);
    for (const auto* finding : {&findings.mountTool, &findings.fuseDevice, &findings.fusermount}) {
        if (finding->outcome == Outcome::unmet) {
            m_log.info("the file system cannot be mounted: %{public}s", finding->problem);
        }
    }
    co_return enabled;
}

std::string FuseExtensionStatus::helpPage(const Findings& findings) const {
    const auto name = escapeHTML(appDisplayName(m_bundle));
    std::string page = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>How " +
                       name + " shows devices as folders</title>\n";
    page += "<style>body { font-family: sans-serif; max-width: 42em; margin: 2em auto; line-height: 1.5; }\n"
            "li { margin-bottom: 0.8em; } .met strong { color: #2e7d32; } .unmet strong { color: #c62828; }\n"
            "</style>\n</head>\n<body>\n";
    page += "<h1>How " + name + " shows devices as folders</h1>\n";
    page += "<p>" + name +
            " shows each phone or tablet as a folder through FUSE, the Linux kernel's way of letting a "
            "program serve files. For that, this computer needs the three things below.</p>\n<ul>\n";
    page += item("The mount helper", m_requirements.mountTool, findings.mountTool,
                 "It comes with " + name + " and belongs beside it: install " + name + " again.");
    page += item("The FUSE device", m_requirements.fuseDevice, findings.fuseDevice,
                 "Load the kernel's FUSE module, for example with <code>sudo modprobe fuse</code>. Where the "
                 "device exists, your user needs permission to read and write it.");
    page += item("fusermount3", m_requirements.fusermount, findings.fusermount,
                 "Install the package fuse3, for example with <code>sudo apt install fuse3</code>: it puts "
                 "fusermount3 in place, set-user-ID root.");
    page += "</ul>\n<p>" + name +
            " checks again by itself for two minutes after it opened this page, and its settings can check "
            "again at any time.</p>\n</body>\n</html>\n";
    return page;
}

std::filesystem::path FuseExtensionStatus::helpPagePath() const {
    return platform::XDGFolders::cacheHome(m_environment) / "tandalo" / helpPageName;
}

void FuseExtensionStatus::openSettings() {
    const auto path = helpPagePath();
    try {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << helpPage(check());
        file.close();
        if (!file) {
            throw std::system_error(errno, std::generic_category(), "write " + path.string());
        }
    } catch (const std::exception& error) {
        m_log.error("the page on switching the file system on was not written: %{public}s", error.what());
        return;
    }
    auto& workspace = m_workspace;
    m_workspace.open(platform::URL::fileURL(path).absoluteString(),
                     [&workspace, folder = path.parent_path()](bool opened) {
                         if (!opened) {
                             workspace.showFolder(folder, [](bool) {});
                         }
                     });
}

} // namespace tandalo::app
