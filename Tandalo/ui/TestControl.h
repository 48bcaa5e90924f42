#pragma once

#include "Tandalo/ui/ApplicationModel.h"
#include "Tandalo/view/DeviceRowState.h"

#include <QObject>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLocalServer;
class QLocalSocket;

namespace tandalo::ui {

class MenuWindow;

/// A channel through which end-to-end tests see and press what the menu-bar window shows, as a person
/// would: it serves a local socket, open to this user only, at the path that the environment variable
/// TANDALO_TEST_CONTROL names, and exists only when it is set. One request per line, answered by lines
/// that end with an empty one:
///   rows                   one line per listed device: id, name, state (with the folder of a mounted
///                          one), the row's status text and its buttons, tab-separated; "hidden" for the
///                          state of a device the window does not show. Each field is escaped
///                          (escapedField), so that no serial number can split a line or a field.
///   press <id> <button>    clicks the row's button (show-folder, eject, take-over, choose-folder, mount);
///                          the id as rows gives it, escaped
///   command <title>        chooses the item of the window's Options menu, such as "Check for Updates…"
///   windows                one line per shown top-level window: its object name, its title and the
///                          texts of its labels, tab-separated, line breaks written "\n"; a label that
///                          shows its text as rich text is marked "rich:" before it
///   click <window> <button>  clicks the button of that object name in the shown window of that name
///   quit                   quits as the menus' Quit does
/// Every answer to a request it cannot carry out begins with "error: ". Main thread only.
class TestControl final : public QObject {
    Q_OBJECT
public:
    static constexpr std::string_view variable = "TANDALO_TEST_CONTROL";
    /// With the channel on, the update feed's fetch time-out in milliseconds, so that a test meets the real
    /// time-out without waiting its full 30 s.
    static constexpr std::string_view feedTimeoutVariable = "TANDALO_TEST_FEED_TIMEOUT_MS";

    TestControl(ApplicationModel& model, MenuWindow& window, std::function<void()> quit,
                QObject* parent = nullptr);
    ~TestControl() override;

    /// Serves at the path; false when the socket cannot be made.
    bool listen(const std::filesystem::path& path);

    /// The answer to one request, without the empty line that ends it.
    std::vector<std::string> answer(std::string_view request);

private:
    void readFrom(QLocalSocket* connection);
    std::vector<std::string> rows() const;
    std::vector<std::string> press(std::string_view id, std::string_view button);
    std::vector<std::string> command(std::string_view title);
    static std::vector<std::string> windows();
    static std::vector<std::string> click(std::string_view window, std::string_view button);

    ApplicationModel& m_model;
    MenuWindow& m_window;
    std::function<void()> m_quit;
    QLocalServer* m_server = nullptr;
};

/// A field of the channel's lines: "\\" for a backslash, "\t", "\n" and "\r", and "\xHH" for every other
/// control byte, so that a field holds neither a tab nor a line break.
std::string escapedField(std::string_view text);
/// The text of an escaped field; an escape it does not know stays as written.
std::string unescapedField(std::string_view field);

/// The button's name in requests, and the button of a name.
std::string_view rowButtonName(view::RowButton button);
std::optional<view::RowButton> rowButtonNamed(std::string_view name);

/// Sends one request to the application's channel at the path and gives its answer's lines; nothing when
/// the channel cannot be reached or does not answer in time. Blocks; needs no event loop.
std::optional<std::vector<std::string>>
askApplication(const std::filesystem::path& path, std::string_view request,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

} // namespace tandalo::ui
