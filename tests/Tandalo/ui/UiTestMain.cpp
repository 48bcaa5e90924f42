#include "Tandalo/ui/Symbols.h"

#include <QApplication>
#include <QFont>
#include <QIcon>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

QtMessageHandler qtHandler = nullptr;

// The offscreen platform reports every window feature it lacks on each show; those lines would bury the
// test output, everything else Qt says is kept.
void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (!message.startsWith(QLatin1String("This plugin does not support"))) {
        qtHandler(type, context, message);
    }
}

} // namespace

// Real widgets, drawn offscreen so that tests never open windows on a desktop, with the icon theme the
// application falls back on and one font, so that pictures do not depend on the machine's desktop.
int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qtHandler = qInstallMessageHandler(messageHandler);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    tandalo::ui::Symbols::findIconThemes();
    QIcon::setThemeName(QStringLiteral("Adwaita"));
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 10));
    return RUN_ALL_TESTS();
}
