#include "Tandalo/ui/DowngradeGuard.h"

#include "Tandalo/core/DeviceStatus.h"
#include "platform/foundation/FoundationError.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>

namespace tandalo::ui {

namespace {

constexpr char downloadAddress[] = "https://www.brenwick.com/tandalo/download";

} // namespace

QUrl DowngradeGuard::downloadPage() {
    return QUrl(QString::fromLatin1(downloadAddress));
}

DowngradeGuard::Outcome DowngradeGuard::check(const Services& services) {
    const auto build = app::appBuildNumber(services.bundle);
    if (!build) {
        return Outcome::proceed;
    }
    const auto shared = services.suites.suite(app::DeviceStatus::suiteName);
    if (!shared) {
        return Outcome::proceed;
    }
    const auto highest = shared->integerValue(highestBuildKey).value_or(0);
    if (highest < *build) {
        try {
            shared->set(highestBuildKey, *build);
        } catch (const platform::FoundationError&) {
            // The check is a courtesy to the user; a start is never refused for want of a record.
        }
    }
    if (*build >= highest) {
        return Outcome::proceed;
    }
    const auto name = QString::fromStdString(app::appDisplayName(services.bundle));
    const auto answer = services.ask(
        QApplication::translate("DowngradeGuard", "This %1 is older than one already used on this computer.")
            .arg(name),
        QApplication::translate("DowngradeGuard",
                                "Download the latest version from www.brenwick.com/tandalo."));
    if (answer == Answer::download) {
        const QUrl page = downloadPage();
        if (page.isValid()) {
            services.openURL(page);
        }
    }
    return Outcome::quit;
}

DowngradeGuard::Answer DowngradeGuard::askWithAlert(const QString& message, const QString& detail) {
    QMessageBox alert;
    alert.setIcon(QMessageBox::Warning);
    alert.setText(message);
    alert.setInformativeText(detail);
    QPushButton* download =
        alert.addButton(QApplication::translate("DowngradeGuard", "Download"), QMessageBox::AcceptRole);
    alert.addButton(QApplication::translate("DowngradeGuard", "Quit"), QMessageBox::RejectRole);
    alert.setDefaultButton(download);
    alert.show();
    alert.raise();
    alert.activateWindow();
    alert.exec();
    return alert.clickedButton() == download ? Answer::download : Answer::quit;
}

void DowngradeGuard::openWithDesktop(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

} // namespace tandalo::ui
