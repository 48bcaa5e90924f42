#include "Tandalo/desktop/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>

namespace tandalo::app {

void QtClipboard::setText(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
}

} // namespace tandalo::app
