#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

/// One name=value pair of a URL's query, percent-decoded. An item written without "=" has no value.
struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;

    friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

/// A URL reference in the generic syntax (scheme://user@host:port/path?query#fragment), immutable. It keeps
/// the text it was made from, which absoluteString() returns unchanged, and parses it strictly: characters
/// outside the URL alphabet, malformed percent escapes, a bad scheme or a bad port make no URL.
class URL {
public:
    /// The URL of the text, or nothing when the text is not a valid URL reference.
    static std::optional<URL> parse(std::string_view text);
    /// A "file://" URL of the path, percent-encoded. A relative path is taken from the current directory.
    /// Throws FoundationError for an empty path or one that holds a NUL character.
    static URL fileURL(const std::filesystem::path& path);

    const std::string& absoluteString() const { return m_text; }
    /// The scheme as written (compare it without regard to case); nothing for a relative reference.
    const std::optional<std::string>& scheme() const { return m_scheme; }
    /// The host, percent-decoded, without the brackets of an IPv6 literal. Empty for "mtp://" or "file:///";
    /// nothing when the URL has no authority ("//") at all.
    std::optional<std::string> host() const;
    /// The host as written, escapes kept; nothing without an authority.
    const std::optional<std::string>& percentEncodedHost() const { return m_host; }
    std::optional<std::uint16_t> port() const { return m_port; }
    /// The path, percent-decoded ("%2F" gives "/").
    std::string path() const;
    const std::string& percentEncodedPath() const { return m_path; }
    /// The query as written, without its "?".
    const std::optional<std::string>& percentEncodedQuery() const { return m_query; }
    /// The query split at "&" and "=", each part percent-decoded; "+" stays "+". Nothing without a query.
    std::optional<std::vector<URLQueryItem>> queryItems() const;
    /// The fragment, percent-decoded, without its "#".
    std::optional<std::string> fragment() const;

    /// Whether the scheme is "file", in any letter case.
    bool isFileURL() const;
    /// The path's last component, decoded; a trailing "/" is ignored, and the root path gives "/".
    std::string lastPathComponent() const;
    /// The text after the last "." of the last component; empty when there is none or the only "." leads
    /// the name (".tandalo" has no extension).
    std::string pathExtension() const;
    /// The same URL with the path's last component removed ("/a/b/c.x" gives "/a/b/").
    URL deletingLastPathComponent() const;
    /// The same URL with the last component's extension and its "." removed.
    URL deletingPathExtension() const;

    friend bool operator==(const URL& a, const URL& b) { return a.m_text == b.m_text; }

private:
    URL() = default;
    URL withPercentEncodedPath(std::string path) const;

    std::string m_text;
    std::optional<std::string> m_scheme;
    std::optional<std::string> m_authority; // as written, for rebuilding
    std::optional<std::string> m_host;      // percent-encoded, brackets removed
    std::optional<std::uint16_t> m_port;
    std::string m_path;
    std::optional<std::string> m_query;
    std::optional<std::string> m_fragment;
};

/// Percent-encodes every byte of the text except ASCII letters and digits and the characters of `kept`
/// ("%" is always encoded), so the result can be decoded back exactly with percentDecoded().
std::string percentEncoded(std::string_view text, std::string_view kept);
/// Decodes the percent escapes of the text. A "%" that does not begin a well-formed escape stays as it is.
std::string percentDecoded(std::string_view text);

/// The parts of a URL, decoded, to build one: each part is percent-encoded as its place requires.
/// A host that looks like an IPv6 address (hex digits, ":" and "." only, with a ":") is put in brackets.
struct URLComponents {
    std::optional<std::string> scheme;
    std::optional<std::string> host;
    std::optional<std::uint16_t> port;
    std::string path;
    std::optional<std::vector<URLQueryItem>> queryItems;
    std::optional<std::string> fragment;

    URLComponents() = default;
    /// The decoded parts of the URL (its user information is not kept).
    explicit URLComponents(const URL& url);

    /// The URL's text. Throws FoundationError when the parts cannot form a URL: an invalid scheme, a port
    /// without a host, a path that does not start with "/" after a host, or a path starting with "//"
    /// without one.
    std::string string() const;
    URL url() const;
};

} // namespace platform
