#include "platform/foundation/URL.h"

#include "platform/foundation/FoundationError.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using platform::URL;
using platform::URLComponents;
using platform::URLQueryItem;

TEST(URLTests, SplitsValidTextIntoItsParts) {
    struct Case {
        const char* text;
        std::optional<std::string> scheme;
        std::optional<std::string> host;
        std::optional<std::uint16_t> port;
        std::string path;
        std::optional<std::string> query;
        std::optional<std::string> fragment;
    };
    const std::vector<Case> cases{
        {"mtp://R58N123ABC?attempt=2", "mtp", "R58N123ABC", {}, "", "attempt=2", {}},
        {"MTP://any", "MTP", "any", {}, "", {}, {}},
        {"mtp://", "mtp", "", {}, "", {}, {}},
        {"mtp:", "mtp", {}, {}, "", {}, {}},
        {"mtp:R58N", "mtp", {}, {}, "R58N", {}, {}},
        {"file:///Users/me/Tandalo/.tandalo/take-over-1/r58n.tandalo",
         "file",
         "",
         {},
         "/Users/me/Tandalo/.tandalo/take-over-1/r58n.tandalo",
         {},
         {}},
        {"http://user:pw@example.com:8080/a/b?x=1&y#top", "http", "example.com", 8080, "/a/b", "x=1&y",
         "top"},
        {"http://example.com:/a", "http", "example.com", {}, "/a", {}, {}},
        {"http://[::1]:631/printers", "http", "::1", 631, "/printers", {}, {}},
        {"mtp://R58N%20X/a%2Fb%C3%A9", "mtp", "R58N X", {}, "/a/b\xC3\xA9", {}, {}},
        {"relative/path?q", {}, {}, {}, "relative/path", "q", {}},
        {"", {}, {}, {}, "", {}, {}},
        {"?", {}, {}, {}, "", "", {}},
        {"mtp://host?", "mtp", "host", {}, "", "", {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.text);
        const auto url = URL::parse(test.text);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->absoluteString(), test.text);
        EXPECT_EQ(url->scheme(), test.scheme);
        EXPECT_EQ(url->host(), test.host);
        EXPECT_EQ(url->port(), test.port);
        EXPECT_EQ(url->path(), test.path);
        EXPECT_EQ(url->percentEncodedQuery(), test.query);
        EXPECT_EQ(url->fragment(), test.fragment);
    }
}

TEST(URLTests, RejectsTextThatIsNoURL) {
    const char* invalid[]{
        "mtp://R58N 123",      // blank
        "mtp://R58N\n",        // control character
        "mtp://R58N%",         // cut escape
        "mtp://R58N%4",        // cut escape
        "mtp://R58N%GG",       // not hex
        "mtp://host:65536",    // port out of range
        "mtp://host:-1",       // not a port
        "mtp://host:12a",      // not a port
        "mtp://ho^st",         // not a host character
        "mtp://[::1",          // open IPv6 literal
        "mtp://[nothex]",      // not an IPv6 literal
        "mtp://[::1]x",        // text after the literal
        "1mtp://host",         // scheme must start with a letter
        "m_tp://host",         // not a scheme character, and a ":" in a first segment
        "mtp://host/a#b#c",    // "#" inside the fragment
        "mtp://host/\xC3\xA9", // raw non-ASCII
        "mtp://host/a\"b",     // quote
        "mtp://host/{}",       // braces
        "mtp://h@o@st",        // "@" in user information
    };
    for (const auto* text : invalid) {
        EXPECT_FALSE(URL::parse(text)) << text;
    }
}

TEST(URLTests, ReadsQueryItemsDecoded) {
    const auto url = URL::parse("mtp://any?attempt=3&flag&name=a%26b%3Dc&plus=a+b&=empty&&last=");
    ASSERT_TRUE(url);
    const std::vector<URLQueryItem> expected{
        {"attempt", "3"}, {"flag", std::nullopt}, {"name", "a&b=c"}, {"plus", "a+b"},
        {"", "empty"},    {"", std::nullopt},     {"last", ""},
    };
    EXPECT_EQ(url->queryItems(), expected);
    EXPECT_FALSE(URL::parse("mtp://any")->queryItems());
    EXPECT_EQ(URL::parse("mtp://any?")->queryItems(), std::vector<URLQueryItem>{});
}

TEST(URLTests, BuildsMountResourceURLs) {
    URLComponents components;
    components.scheme = "mtp";
    components.host = "R58N123ABC";
    EXPECT_EQ(components.string(), "mtp://R58N123ABC");
    components.queryItems = std::vector<URLQueryItem>{{"attempt", "2"}};
    const auto url = components.url();
    EXPECT_EQ(url.absoluteString(), "mtp://R58N123ABC?attempt=2");
    EXPECT_EQ(url.host(), "R58N123ABC");
    EXPECT_EQ(url.queryItems(), components.queryItems);
}

TEST(URLTests, PercentEncodesEverythingButWhatIsKeptAndDecodesBack) {
    EXPECT_EQ(platform::percentEncoded("a/..?#@: %Z~-", "-~"), "a%2F%2E%2E%3F%23%40%3A%20%25Z~-");
    EXPECT_EQ(platform::percentEncoded("\xC3\xA9", ""), "%C3%A9");
    for (const std::string text : {"a/..?#@: %Z~-", "", "%41", "\xC3\xA9"}) {
        EXPECT_EQ(platform::percentDecoded(platform::percentEncoded(text, "")), text);
    }
    EXPECT_EQ(platform::percentDecoded("%2f%2F%zz%4"), "//%zz%4"); // malformed escapes stay
}

TEST(URLTests, ComponentsRoundTripThroughTextWithPercentEncoding) {
    struct Case {
        URLComponents components;
        const char* expected;
    };
    const auto make = [](std::optional<std::string> scheme, std::optional<std::string> host, std::string path,
                         std::optional<std::vector<URLQueryItem>> query,
                         std::optional<std::string> fragment) {
        URLComponents components;
        components.scheme = std::move(scheme);
        components.host = std::move(host);
        components.path = std::move(path);
        components.queryItems = std::move(query);
        components.fragment = std::move(fragment);
        return components;
    };
    const std::vector<Case> cases{
        {make("mtp", "serial with blank/and?odd#chars", "", {}, {}),
         "mtp://serial%20with%20blank%2Fand%3Fodd%23chars"},
        {make("mtp", "R58N", "", std::vector<URLQueryItem>{{"a b", "x&y=z+w#"}, {"flag", {}}}, {}),
         "mtp://R58N?a%20b=x%26y%3Dz%2Bw%23&flag"},
        {make("file", "", "/Users/me/My Phone/\xC3\xA9t\xC3\xA9.tandalo", {}, {}),
         "file:///Users/me/My%20Phone/%C3%A9t%C3%A9.tandalo"},
        {make("file", "", "/a/100%/b?c", {}, "frag ment"), "file:///a/100%25/b%3Fc#frag%20ment"},
        {make({}, {}, "a:b/c:d", {}, {}), "a%3Ab/c:d"},
        {make("x", {}, "a:b", {}, {}), "x:a:b"},
        {make("http", "::1", "/", {}, {}), "http://[::1]/"},
        {make("mtp", "", "", {}, {}), "mtp://"},
        {make("mtp", "\x01\x7F\xFF", "", {}, {}), "mtp://%01%7F%FF"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.expected);
        EXPECT_EQ(test.components.string(), test.expected);
        const auto url = test.components.url();
        const URLComponents back(url);
        EXPECT_EQ(back.scheme, test.components.scheme);
        EXPECT_EQ(back.host, test.components.host);
        EXPECT_EQ(back.path, test.components.path);
        EXPECT_EQ(back.queryItems, test.components.queryItems);
        EXPECT_EQ(back.fragment, test.components.fragment);
        EXPECT_EQ(back.string(), test.expected);
    }
}

TEST(URLTests, RefusesComponentsThatMakeNoURL) {
    URLComponents badScheme;
    badScheme.scheme = "1mtp";
    URLComponents portWithoutHost;
    portWithoutHost.scheme = "mtp";
    portWithoutHost.port = 80;
    URLComponents relativePathAfterHost;
    relativePathAfterHost.scheme = "mtp";
    relativePathAfterHost.host = "h";
    relativePathAfterHost.path = "a";
    URLComponents authorityLookalike;
    authorityLookalike.scheme = "mtp";
    authorityLookalike.path = "//h";
    for (const auto* components :
         {&badScheme, &portWithoutHost, &relativePathAfterHost, &authorityLookalike}) {
        EXPECT_THROW(components->url(), platform::FoundationError);
    }
}

TEST(URLTests, NamesPathComponentsAndExtensions) {
    struct Case {
        const char* text;
        const char* last;
        const char* extension;
        const char* withoutLast;
        const char* withoutExtension;
    };
    const Case cases[]{
        {"file:///m/.tandalo/take-over-1/R58N.tandalo", "R58N.tandalo", "tandalo",
         "file:///m/.tandalo/take-over-1/", "file:///m/.tandalo/take-over-1/R58N"},
        {"file:///m/.tandalo/2/any.TANDALO", "any.TANDALO", "TANDALO", "file:///m/.tandalo/2/",
         "file:///m/.tandalo/2/any"},
        {"file:///a/b/", "b", "", "file:///a/", "file:///a/b/"},
        {"file:///a/archive.tar.gz", "archive.tar.gz", "gz", "file:///a/", "file:///a/archive.tar"},
        {"file:///a/.tandalo", ".tandalo", "", "file:///a/", "file:///a/.tandalo"},
        {"file:///a/My%20Phone.tandalo?x=1", "My Phone.tandalo", "tandalo", "file:///a/?x=1",
         "file:///a/My%20Phone?x=1"},
        {"file:///", "/", "", "file:///", "file:///"},
        {"mtp://any", "", "", "mtp://any", "mtp://any"},
        {"name.txt", "name.txt", "txt", "", "name"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.text);
        const auto url = URL::parse(test.text);
        ASSERT_TRUE(url);
        EXPECT_EQ(url->lastPathComponent(), test.last);
        EXPECT_EQ(url->pathExtension(), test.extension);
        EXPECT_EQ(url->deletingLastPathComponent().absoluteString(), test.withoutLast);
        EXPECT_EQ(url->deletingPathExtension().absoluteString(), test.withoutExtension);
    }
    const auto token = URL::parse("file:///m/.tandalo/take-over-1/R58N.tandalo").value();
    EXPECT_EQ(token.deletingLastPathComponent().lastPathComponent(), "take-over-1");
    EXPECT_EQ(token.deletingPathExtension().lastPathComponent(), "R58N");
}

TEST(URLTests, MakesFileURLsFromPaths) {
    const auto url = URL::fileURL("/tmp/My Phone/a#b?c%d.tandalo");
    EXPECT_EQ(url.absoluteString(), "file:///tmp/My%20Phone/a%23b%3Fc%25d.tandalo");
    EXPECT_TRUE(url.isFileURL());
    EXPECT_EQ(url.path(), "/tmp/My Phone/a#b?c%d.tandalo");
    EXPECT_EQ(url.pathExtension(), "tandalo");
    EXPECT_TRUE(URL::parse("FILE:///x")->isFileURL());
    EXPECT_FALSE(URL::parse("mtp://x")->isFileURL());
    EXPECT_FALSE(URL::parse("files:///x")->isFileURL());

    const auto relative = URL::fileURL("relative/name.tandalo");
    EXPECT_TRUE(relative.path().starts_with("/"));
    EXPECT_EQ(relative.lastPathComponent(), "name.tandalo");

    EXPECT_THROW(URL::fileURL(""), platform::FoundationError);
    EXPECT_THROW(URL::fileURL(std::string("/a\0b", 4)), platform::FoundationError);
}
