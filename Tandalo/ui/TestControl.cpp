#include "Tandalo/ui/TestControl.h"

#include "Tandalo/ui/Controls.h"
#include "Tandalo/ui/DeviceRows.h"
#include "Tandalo/ui/MenuWindow.h"
#include "platform/foundation/EscapedText.h"
#include "platform/foundation/UniqueFd.h"

#include <QApplication>
#include <QLabel>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenu>
#include <QPushButton>
#include <QTextDocument>

#include <array>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>

namespace tandalo::ui {

namespace {

/// Joins the parts into one text (GCC 12 at -O3 misreads a literal added to a string temporary).
template <class... Parts> std::string joined(const Parts&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

constexpr std::array<std::pair<view::RowButton, std::string_view>, 5> buttonNames{{
    {view::RowButton::showInFinder, "show-folder"},
    {view::RowButton::eject, "eject"},
    {view::RowButton::takeOver, "take-over"},
    {view::RowButton::chooseFolder, "choose-folder"},
    {view::RowButton::mount, "mount"},
}};

std::string stateText(const app::MountState& state) {
    if (const auto* folder = state.mountedFolder()) {
        return joined("mounted ", folder->string());
    }
    if (state.isFailed()) {
        return "failed";
    }
    if (state.isMounting()) {
        return "mounting";
    }
    if (state.isUnmounting()) {
        return "unmounting";
    }
    return "unmounted";
}

} // namespace

std::string escapedField(std::string_view text) {
    return platform::escapedText(text);
}

std::string unescapedField(std::string_view field) {
    // A field typed by hand with a stray backslash is taken as it stands.
    return platform::unescapedText(field).value_or(std::string(field));
}

std::string_view rowButtonName(view::RowButton button) {
    for (const auto& [kind, name] : buttonNames) {
        if (kind == button) {
            return name;
        }
    }
    return "?";
}

std::optional<view::RowButton> rowButtonNamed(std::string_view name) {
    for (const auto& [kind, known] : buttonNames) {
        if (known == name) {
            return kind;
        }
    }
    return std::nullopt;
}

TestControl::TestControl(ApplicationModel& model, MenuWindow& window, std::function<void()> quit,
                         QObject* parent)
    : QObject(parent), m_model(model), m_window(window), m_quit(std::move(quit)) {}

TestControl::~TestControl() = default;

bool TestControl::listen(const std::filesystem::path& path) {
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(QString::fromStdString(path.string()));
    if (!m_server->listen(QString::fromStdString(path.string()))) {
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (auto* connection = m_server->nextPendingConnection()) {
            connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
            connect(connection, &QLocalSocket::readyRead, this, [this, connection] { readFrom(connection); });
        }
    });
    return true;
}

void TestControl::readFrom(QLocalSocket* connection) {
    while (connection->canReadLine()) {
        const auto line = connection->readLine().trimmed().toStdString();
        std::string reply;
        for (const auto& answerLine : answer(line)) {
            reply += answerLine + '\n';
        }
        reply += '\n';
        connection->write(reply.data(), static_cast<qint64>(reply.size()));
        connection->flush();
    }
}

std::vector<std::string> TestControl::answer(std::string_view request) {
    const auto space = request.find(' ');
    const auto command = request.substr(0, space);
    if (command == "rows" && space == std::string_view::npos) {
        return rows();
    }
    if (command == "press" && space != std::string_view::npos) {
        const auto arguments = request.substr(space + 1);
        const auto second = arguments.rfind(' ');
        if (second != std::string_view::npos) {
            return press(unescapedField(arguments.substr(0, second)), arguments.substr(second + 1));
        }
    }
    if (command == "command" && space != std::string_view::npos) {
        return this->command(request.substr(space + 1));
    }
    if (command == "windows" && space == std::string_view::npos) {
        return windows();
    }
    if (command == "click" && space != std::string_view::npos) {
        const auto arguments = request.substr(space + 1);
        const auto second = arguments.find(' ');
        if (second != std::string_view::npos) {
            return click(arguments.substr(0, second), arguments.substr(second + 1));
        }
    }
    if (command == "quit" && space == std::string_view::npos) {
        m_quit();
        return {"ok"};
    }
    return {joined("error: unknown request \"", request, '"')};
}

std::vector<std::string> TestControl::rows() const {
    std::vector<std::string> lines;
    for (const auto& entry : m_model.state().devices) {
        const auto* row = m_window.row(entry.id());
        const auto id = escapedField(entry.id());
        if (row == nullptr) {
            lines.push_back(joined(id, "\t\thidden\t\t"));
            continue;
        }
        std::string buttons;
        for (const auto button : row->state().buttons) {
            buttons += joined(buttons.empty() ? "" : ",", rowButtonName(button));
        }
        lines.push_back(joined(id, '\t', escapedField(row->state().name), '\t',
                               escapedField(stateText(entry.state)), '\t',
                               escapedField(row->state().statusText), '\t', buttons));
    }
    return lines;
}

std::vector<std::string> TestControl::press(std::string_view id, std::string_view name) {
    const auto kind = rowButtonNamed(name);
    if (!kind) {
        return {joined("error: no button \"", name, '"')};
    }
    auto* row = m_window.row(std::string(id));
    if (row == nullptr) {
        return {joined("error: the window shows no device \"", escapedField(id), '"')};
    }
    auto* button = row->button(*kind);
    if (button == nullptr || !button->isEnabled()) {
        return {joined("error: the row of ", escapedField(id), " offers no ", name, " button now")};
    }
    button->click();
    return {"ok"};
}

std::vector<std::string> TestControl::command(std::string_view title) {
    // The menu is made when its button is pressed, from the model as it is then, as a person's click makes
    // it.
    emit m_window.optionsButton()->pressed();
    QMenu* menu = m_window.optionsMenu();
    if (menu == nullptr) {
        return {"error: the Options menu did not open"};
    }
    const auto wanted = QString::fromUtf8(title.data(), qsizetype(title.size()));
    for (QAction* action : menu->actions()) {
        if (action->text() != wanted) {
            continue;
        }
        if (!action->isEnabled()) {
            menu->close();
            return {joined("error: \"", title, "\" is disabled")};
        }
        action->trigger();
        menu->close();
        return {"ok"};
    }
    menu->close();
    return {joined("error: the Options menu has no \"", title, '"')};
}

std::vector<std::string> TestControl::windows() {
    std::vector<std::string> lines;
    for (auto* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible() || window->inherits("QMenu")) {
            continue;
        }
        std::string line =
            joined(window->objectName().toStdString(), '\t', window->windowTitle().toStdString());
        for (auto* label : window->findChildren<QLabel*>()) {
            if (label->text().isEmpty()) {
                continue;
            }
            const bool rich = label->textFormat() == Qt::RichText ||
                              (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
            auto text = label->text();
            text.replace(u'\n', QStringLiteral("\\n")).replace(u'\t', u' ');
            line += joined('\t', rich ? "rich:" : "", text.toStdString());
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> TestControl::click(std::string_view window, std::string_view button) {
    for (auto* shown : QApplication::topLevelWidgets()) {
        if (!shown->isVisible() || shown->objectName().toStdString() != window) {
            continue;
        }
        auto* pushButton =
            shown->findChild<QPushButton*>(QString::fromUtf8(button.data(), qsizetype(button.size())));
        if (pushButton == nullptr || !pushButton->isEnabled()) {
            return {joined("error: the window ", window, " offers no ", button, " button now")};
        }
        pushButton->click();
        return {"ok"};
    }
    return {joined("error: no window ", window, " is shown")};
}

std::optional<std::vector<std::string>>
askApplication(const std::filesystem::path& path, std::string_view request, std::chrono::milliseconds limit) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.string().size() >= sizeof(address.sun_path)) {
        return std::nullopt;
    }
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    platform::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket ||
        ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return std::nullopt;
    }
    const std::string line = joined(request, '\n');
    if (::send(socket.get(), line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        return std::nullopt;
    }
    std::string received;
    while (received.find("\n\n") == std::string::npos && received != "\n") {
        pollfd ready{socket.get(), POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(limit.count())) <= 0) {
            return std::nullopt;
        }
        std::array<char, 4096> buffer{};
        const auto count = ::recv(socket.get(), buffer.data(), buffer.size(), 0);
        if (count <= 0) {
            return std::nullopt;
        }
        received.append(buffer.data(), static_cast<std::size_t>(count));
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto end = received.find('\n'); end != std::string::npos && end != start;
         end = received.find('\n', start)) {
        lines.push_back(received.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace tandalo::ui
