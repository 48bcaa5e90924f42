#include "Tandalo/ui/Symbols.h"
#include "tests/support/OffscreenTests.h"

#include <QFont>
#include <QIcon>

// Real widgets with the icon theme the application falls back on and one font, so that pictures do not
// depend on the machine's desktop.
int main(int argc, char** argv) {
    return testsupport::runOffscreenTests(argc, argv, [] {
        tandalo::ui::Symbols::findIconThemes();
        QIcon::setThemeName(QStringLiteral("Adwaita"));
        QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 10));
    });
}
