#pragma once

#include "Tandalo/core/BundleInformation.h"
#include "Tandalo/core/PreferenceStore.h"

#include <QString>
#include <QUrl>

#include <functional>
#include <string_view>

namespace tandalo::ui {

/// Stops a build that is older than one already started on this computer, whose settings and shared
/// status it might misread. The highest build started is kept under "highestBuildRun" in the app group's
/// shared preferences, and only ever grows. An older build asks the user to download the latest version
/// and then ends, whatever the answer.
class DowngradeGuard {
public:
    enum class Answer { download, quit };
    enum class Outcome { proceed, quit };

    static constexpr std::string_view highestBuildKey = "highestBuildRun";

    struct Services {
        app::PreferenceSuites& suites;
        const app::BundleInformation& bundle = app::BundleInformation::main();
        /// The modal alert with its two buttons, "Download" first and default; brought to the front.
        std::function<Answer(const QString& message, const QString& detail)> ask = askWithAlert;
        std::function<void(const QUrl&)> openURL = openWithDesktop;
    };

    /// Where the latest version can be downloaded.
    static QUrl downloadPage();

    /// Records this build when it is the highest yet; for an older build, asks and ends. A build without a
    /// usable number, or shared preferences that cannot be opened, are not checked; a record that cannot
    /// be written does not stop the start.
    static Outcome check(const Services& services);

private:
    static Answer askWithAlert(const QString& message, const QString& detail);
    static void openWithDesktop(const QUrl& url);
};

} // namespace tandalo::ui
