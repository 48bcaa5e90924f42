#include "Tandalo/core/XDGAutostart.h"

#include "platform/foundation/FoundationError.h"
#include "platform/foundation/UniqueFd.h"
#include "platform/foundation/XDGFolders.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace tandalo::app {

namespace {

/// A value of the desktop entry's string type: backslashes and control characters escaped.
std::string escapeString(std::string_view text) {
    std::string escaped;
    for (const char character : text) {
        switch (character) {
        case '\\':
            escaped += "\\\\";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\t':
            escaped += "\\t";
            break;
        case '\r':
            escaped += "\\r";
            break;
        default:
            escaped += character;
        }
    }
    // A leading blank would be taken for the space around "=".
    if (!escaped.empty() && escaped.front() == ' ') {
        escaped.replace(0, 1, "\\s");
    }
    return escaped;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

[[noreturn]] void fail(std::string_view what, const std::filesystem::path& path, int errorNumber) {
    throw platform::FoundationError("The autostart entry " + path.string() + " could not be " +
                                        std::string(what) + ": " +
                                        std::generic_category().message(errorNumber) + ".",
                                    errorNumber);
}

} // namespace

std::filesystem::path XDGAutostart::entryPath() const {
    return platform::XDGFolders::configHome(m_environment) / "autostart" / (m_entry.fileName + ".desktop");
}

std::string XDGAutostart::execValue(const std::filesystem::path& executable) {
    // Inside quotes, ", `, $ and \ are escaped with a backslash; the whole value is then a string whose
    // own backslashes are escaped once more. A literal % is written %% anywhere.
    std::string quoted = "\"";
    for (const char character : executable.string()) {
        if (character == '"' || character == '`' || character == '$' || character == '\\') {
            quoted += '\\';
        } else if (character == '%') {
            quoted += '%';
        }
        quoted += character;
    }
    quoted += '"';
    return escapeString(quoted);
}

std::string XDGAutostart::entryText() const {
    return "[Desktop Entry]\nType=Application\nName=" + escapeString(m_entry.name) +
           "\nExec=" + execValue(m_entry.executable) + "\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
}

bool XDGAutostart::isRegistered() const {
    std::ifstream file(entryPath());
    if (!file) {
        return false; // what the session cannot read, it does not start either
    }
    bool inEntry = false;
    bool hasEntry = false;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.front() == '[') {
            inEntry = trimmed(line) == "[Desktop Entry]";
            hasEntry = hasEntry || inEntry;
            continue;
        }
        const auto equals = line.find('=');
        if (!inEntry || equals == std::string::npos) {
            continue;
        }
        const auto key = trimmed(std::string_view(line).substr(0, equals));
        const auto value = trimmed(std::string_view(line).substr(equals + 1));
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            return false;
        }
    }
    return hasEntry;
}

void XDGAutostart::registerService() {
    const auto path = entryPath();
    if (m_entry.executable.empty()) {
        // An entry without a program would start nothing, and say nothing about it.
        throw platform::FoundationError("The program to start at login is not known.");
    }
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) {
        fail("written", path, error.value());
    }
    auto temporary = path;
    temporary += ".new";
    const auto text = entryText();
    {
        const platform::UniqueFd file(
            ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!file) {
            fail("written", path, errno);
        }
        std::size_t written = 0;
        while (written < text.size()) {
            const auto result = ::write(file.get(), text.data() + written, text.size() - written);
            if (result < 0 && errno == EINTR) {
                continue;
            }
            if (result < 0) {
                const int writeError = errno;
                ::unlink(temporary.c_str());
                fail("written", path, writeError);
            }
            written += static_cast<std::size_t>(result);
        }
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int renameError = errno;
        ::unlink(temporary.c_str());
        fail("written", path, renameError);
    }
}

void XDGAutostart::unregisterService() {
    const auto path = entryPath();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        fail("removed", path, errno);
    }
}

std::filesystem::path XDGAutostart::currentExecutable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

} // namespace tandalo::app
