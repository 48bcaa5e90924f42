#pragma once

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/MountManager.h"
#include "Tandalo/core/Task.h"
#include "Tandalo/core/Workspace.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/Logger.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::app {

/// Whether the file-system extension can serve mounts, and the way to the explanation of how to make it
/// so. It logs under "com.brenwick.Tandalo" in the category "extension". Main thread.
class ExtensionStatus {
public:
    /// The extension's identity among the system's file-system modules.
    static constexpr std::string_view extensionIdentifier = "com.brenwick.Tandalo.fsext";

    virtual ~ExtensionStatus() = default;

    /// True when the extension is installed and enabled, false when it is not (or not installed), nothing
    /// when the question could not be answered.
    virtual Task<std::optional<bool>> isEnabled() = 0;
    /// Shows the user how to switch the extension on; reports nothing.
    virtual void openSettings() = 0;
};

/// The extension on Linux: mount-tandalo serves each volume through FUSE. It counts as installed when
/// mount-tandalo is there for this user to run, and as enabled when this user can make FUSE mounts as
/// well: the FUSE device opens for reading and writing, and fusermount3 is there to run (set-user-ID root,
/// for any user but root, as the fuse3 package installs it). Only errors that say nothing about these
/// (a loop of links, a file-system failure, no descriptor left) leave the question unanswered.
///
/// openSettings() writes a page that lists the three requirements, which of them this computer meets and
/// how to meet the others, to the user's cache folder (~/.cache/tandalo) and opens it with the desktop's
/// handler; where that fails, it shows the page's folder in the file manager.
class FuseExtensionStatus final : public ExtensionStatus {
public:
    struct Requirements {
        std::filesystem::path mountTool;
        std::filesystem::path fuseDevice = "/dev/fuse";
        std::filesystem::path fusermount = "/usr/bin/fusermount3";
        unsigned userID = 0;

        /// The programs that the mount manager runs, for the user this process runs as.
        static Requirements of(const MountTools& tools) {
            return Requirements{tools.mountTool, "/dev/fuse", tools.fusermount,
                                MountServices::currentUserID()};
        }
    };

    /// One requirement as found on this computer.
    struct Finding {
        enum class Outcome { met, unmet, unknown };
        Outcome outcome = Outcome::met;
        /// Why it is not met, or why that could not be told; empty when met.
        std::string problem;
        bool operator==(const Finding&) const = default;
    };
    struct Findings {
        Finding mountTool;
        Finding fuseDevice;
        Finding fusermount;
        bool operator==(const Findings&) const = default;
    };

    static constexpr std::string_view helpPageName = "enable-tandalo-folders.html";

    FuseExtensionStatus(Requirements requirements, Workspace& workspace,
                        const platform::Environment& environment = platform::Environment::process(),
                        const BundleInformation& bundle = BundleInformation::main());

    Task<std::optional<bool>> isEnabled() override;
    void openSettings() override;

    /// Looks at the three requirements now. Never throws.
    Findings check() const;
    /// The page that explains the findings to the user, in HTML.
    std::string helpPage(const Findings& findings) const;
    /// Where openSettings() writes the page.
    std::filesystem::path helpPagePath() const;

private:
    Requirements m_requirements;
    Workspace& m_workspace;
    const platform::Environment& m_environment;
    const BundleInformation& m_bundle;
    oslog::Logger m_log{"com.brenwick.Tandalo", "extension"};
};

} // namespace tandalo::app
