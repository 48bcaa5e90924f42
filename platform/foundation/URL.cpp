#include "platform/foundation/URL.h"

#include "platform/foundation/EscapedText.h"
#include "platform/foundation/FoundationError.h"

#include <charconv>

namespace platform {

namespace {

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelimiter(char c) {
    return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

// RFC 3986 pchar without the percent escapes, which are checked separately.
bool isPathCharacter(char c) {
    return isUnreserved(c) || isSubDelimiter(c) || c == ':' || c == '@';
}

enum class Part { userInfo, host, path, query, fragment, queryItem, firstRelativeSegment };

bool isAllowed(char c, Part part) {
    switch (part) {
    case Part::userInfo:
        return isUnreserved(c) || isSubDelimiter(c) || c == ':';
    case Part::host:
        return isUnreserved(c) || isSubDelimiter(c);
    case Part::path:
        return isPathCharacter(c) || c == '/';
    case Part::query:
    case Part::fragment:
        return isPathCharacter(c) || c == '/' || c == '?';
    case Part::queryItem:
        // The separators of query items, and "+" which many servers read as a blank, are always escaped.
        return (isPathCharacter(c) || c == '/' || c == '?') && c != '&' && c != '=' && c != '+';
    case Part::firstRelativeSegment:
        // A ":" in the first segment of a scheme-less path would read as the end of a scheme.
        return isPathCharacter(c) && c != ':';
    }
    return false;
}

// Whether every character is allowed in the part or belongs to a well-formed percent escape.
bool isValidEncoded(std::string_view text, Part part) {
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '%') {
            if (index + 2 >= text.size() || !isHexDigit(text[index + 1]) || !isHexDigit(text[index + 2])) {
                return false;
            }
            index += 2;
            continue;
        }
        if (!isAllowed(text[index], part)) {
            return false;
        }
    }
    return true;
}

template <typename Keep> std::string encodedWhere(std::string_view text, Keep keep) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        if (c != '%' && keep(c)) {
            result += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            result += '%';
            result += digits[byte >> 4];
            result += digits[byte & 0x0F];
        }
    }
    return result;
}

std::string percentEncoded(std::string_view text, Part part) {
    return encodedWhere(text, [part](char c) { return isAllowed(c, part); });
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !isAlpha(scheme.front())) {
        return false;
    }
    for (const char c : scheme) {
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

bool looksLikeIPv6(std::string_view host) {
    if (host.find(':') == std::string_view::npos) {
        return false;
    }
    for (const char c : host) {
        if (!isHexDigit(c) && c != ':' && c != '.') {
            return false;
        }
    }
    return true;
}

struct Authority {
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
};

std::optional<Authority> parseAuthority(std::string_view authority) {
    std::string_view hostAndPort = authority;
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        if (!isValidEncoded(authority.substr(0, at), Part::userInfo)) {
            return std::nullopt;
        }
        hostAndPort = authority.substr(at + 1);
    }
    Authority result;
    std::string_view portText;
    bool hasPort = false;
    if (!hostAndPort.empty() && hostAndPort.front() == '[') {
        const auto close = hostAndPort.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        const auto literal = hostAndPort.substr(1, close - 1);
        if (!looksLikeIPv6(literal)) {
            return std::nullopt;
        }
        result.host = std::string(literal);
        const auto rest = hostAndPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return std::nullopt;
            }
            hasPort = true;
            portText = rest.substr(1);
        }
    } else {
        const auto colon = hostAndPort.rfind(':');
        const auto host = hostAndPort.substr(0, colon);
        if (colon != std::string_view::npos) {
            hasPort = true;
            portText = hostAndPort.substr(colon + 1);
        }
        if (!isValidEncoded(host, Part::host)) {
            return std::nullopt;
        }
        result.host = std::string(host);
    }
    // An empty port ("host:") is allowed by the syntax and means no port.
    if (hasPort && !portText.empty()) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
        if (error != std::errc() || end != portText.data() + portText.size() || value > 65535 ||
            !isDigit(portText.front())) {
            return std::nullopt;
        }
        result.port = static_cast<std::uint16_t>(value);
    }
    return result;
}

// The range of the path's last component in an encoded path, ignoring one trailing "/".
std::pair<std::size_t, std::size_t> lastComponentRange(std::string_view path) {
    std::size_t end = path.size();
    if (end > 1 && path[end - 1] == '/') {
        --end;
    }
    const auto slash = path.rfind('/', end == 0 ? 0 : end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    return {std::min(begin, end), end};
}

} // namespace

std::string percentEncoded(std::string_view text, std::string_view kept) {
    return encodedWhere(
        text, [kept](char c) { return isAlpha(c) || isDigit(c) || kept.find(c) != std::string_view::npos; });
}

std::string percentDecoded(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] == '%' && index + 2 < text.size() && isHexDigit(text[index + 1]) &&
            isHexDigit(text[index + 2])) {
            result += static_cast<char>(hexDigitValue(text[index + 1]) * 16 + hexDigitValue(text[index + 2]));
            index += 2;
        } else {
            result += text[index];
        }
    }
    return result;
}

std::optional<URL> URL::parse(std::string_view text) {
    URL url;
    url.m_text = std::string(text);
    std::string_view rest = text;

    const auto schemeEnd = rest.find_first_of(":/?#");
    if (schemeEnd != std::string_view::npos && rest[schemeEnd] == ':') {
        const auto scheme = rest.substr(0, schemeEnd);
        if (!isValidScheme(scheme)) {
            return std::nullopt; // A relative reference may not have ":" in its first segment either.
        }
        url.m_scheme = std::string(scheme);
        rest.remove_prefix(schemeEnd + 1);
    }

    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        const auto fragment = rest.substr(hash + 1);
        if (!isValidEncoded(fragment, Part::fragment)) {
            return std::nullopt;
        }
        url.m_fragment = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        const auto query = rest.substr(question + 1);
        if (!isValidEncoded(query, Part::query)) {
            return std::nullopt;
        }
        url.m_query = std::string(query);
        rest = rest.substr(0, question);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto slash = rest.find('/');
        const auto authorityText = rest.substr(0, slash);
        auto authority = parseAuthority(authorityText);
        if (!authority) {
            return std::nullopt;
        }
        url.m_authority = std::string(authorityText);
        url.m_host = std::move(authority->host);
        url.m_port = authority->port;
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    if (!isValidEncoded(rest, Part::path)) {
        return std::nullopt;
    }
    url.m_path = std::string(rest);
    return url;
}

URL URL::fileURL(const std::filesystem::path& path) {
    const auto& native = path.native();
    if (native.empty() || native.find('\0') != std::string::npos) {
        throw FoundationError("not a usable file path: \"" + native + "\"");
    }
    std::filesystem::path absolute;
    try {
        absolute = std::filesystem::absolute(path);
    } catch (const std::filesystem::filesystem_error& error) {
        throw FoundationError::fromErrno("absolute", error.code().value(), native);
    }
    return URL::parse("file://" + percentEncoded(absolute.native(), Part::path)).value();
}

std::optional<std::string> URL::host() const {
    if (!m_host) {
        return std::nullopt;
    }
    return percentDecoded(*m_host);
}

std::string URL::path() const {
    return percentDecoded(m_path);
}

std::optional<std::vector<URLQueryItem>> URL::queryItems() const {
    if (!m_query) {
        return std::nullopt;
    }
    std::vector<URLQueryItem> items;
    if (m_query->empty()) {
        return items;
    }
    std::string_view rest = *m_query;
    while (true) {
        const auto ampersand = rest.find('&');
        const auto item = rest.substr(0, ampersand);
        const auto equals = item.find('=');
        URLQueryItem parsed{percentDecoded(item.substr(0, equals)), std::nullopt};
        if (equals != std::string_view::npos) {
            parsed.value = percentDecoded(item.substr(equals + 1));
        }
        items.push_back(std::move(parsed));
        if (ampersand == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(ampersand + 1);
    }
    return items;
}

std::optional<std::string> URL::fragment() const {
    if (!m_fragment) {
        return std::nullopt;
    }
    return percentDecoded(*m_fragment);
}

bool URL::isFileURL() const {
    if (!m_scheme || m_scheme->size() != 4) {
        return false;
    }
    std::string lower = *m_scheme;
    for (char& c : lower) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return lower == "file";
}

std::string URL::lastPathComponent() const {
    if (m_path == "/") {
        return "/";
    }
    const auto [begin, end] = lastComponentRange(m_path);
    return percentDecoded(std::string_view(m_path).substr(begin, end - begin));
}

std::string URL::pathExtension() const {
    const auto name = lastPathComponent();
    const auto dot = name.rfind('.');
    if (name == "/" || dot == std::string::npos || dot == 0) {
        return {};
    }
    return name.substr(dot + 1);
}

URL URL::deletingLastPathComponent() const {
    if (m_path.empty() || m_path == "/") {
        return *this;
    }
    const auto [begin, end] = lastComponentRange(m_path);
    return withPercentEncodedPath(m_path.substr(0, begin));
}

URL URL::deletingPathExtension() const {
    const auto [begin, end] = lastComponentRange(m_path);
    const auto component = std::string_view(m_path).substr(begin, end - begin);
    const auto dot = component.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return *this;
    }
    return withPercentEncodedPath(m_path.substr(0, begin + dot) + m_path.substr(end));
}

URL URL::withPercentEncodedPath(std::string path) const {
    std::string text;
    if (m_scheme) {
        text += *m_scheme + ':';
    }
    if (m_authority) {
        text += "//" + *m_authority;
    }
    text += path;
    if (m_query) {
        text += '?' + *m_query;
    }
    if (m_fragment) {
        text += '#' + *m_fragment;
    }
    // The parts come from a valid URL, and a shorter path stays valid in its place; keep this URL if not.
    return URL::parse(text).value_or(*this);
}

URLComponents::URLComponents(const URL& url)
    : scheme(url.scheme()), host(url.host()), port(url.port()), path(url.path()),
      queryItems(url.queryItems()), fragment(url.fragment()) {}

std::string URLComponents::string() const {
    std::string text;
    if (scheme) {
        if (!isValidScheme(*scheme)) {
            throw FoundationError("not a URL scheme: \"" + *scheme + "\"");
        }
        text += *scheme + ':';
    }
    if (port && !host) {
        throw FoundationError("a URL with a port needs a host");
    }
    if (host) {
        text += "//";
        text += looksLikeIPv6(*host) ? '[' + *host + ']' : percentEncoded(*host, Part::host);
        if (port) {
            text += ':' + std::to_string(*port);
        }
        if (!path.empty() && path.front() != '/') {
            throw FoundationError("a URL path after a host must start with \"/\": \"" + path + "\"");
        }
        text += percentEncoded(path, Part::path);
    } else if (path.starts_with("//")) {
        throw FoundationError("a URL path without a host cannot start with \"//\": \"" + path + "\"");
    } else if (!scheme) {
        const auto slash = path.find('/');
        text += percentEncoded(std::string_view(path).substr(0, slash), Part::firstRelativeSegment);
        if (slash != std::string::npos) {
            text += percentEncoded(std::string_view(path).substr(slash), Part::path);
        }
    } else {
        text += percentEncoded(path, Part::path);
    }
    if (queryItems) {
        text += '?';
        bool first = true;
        for (const auto& item : *queryItems) {
            if (!first) {
                text += '&';
            }
            first = false;
            text += percentEncoded(item.name, Part::queryItem);
            if (item.value) {
                text += '=' + percentEncoded(*item.value, Part::queryItem);
            }
        }
    }
    if (fragment) {
        text += '#' + percentEncoded(*fragment, Part::fragment);
    }
    return text;
}

URL URLComponents::url() const {
    const auto text = string();
    auto url = URL::parse(text);
    if (!url) {
        throw FoundationError("the URL parts make no valid URL: \"" + text + "\"");
    }
    return std::move(*url);
}

} // namespace platform
