#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace updates {

/// The XML namespace of the feed's own elements.
inline constexpr std::string_view feedNamespace = "urn:tandalo:updates:1";

/// One release offered by the update feed.
struct UpdateItem {
    std::string version;         // compared with the running version (see compareVersions)
    std::string displayVersion;  // shown to people; the version when the feed gives none
    std::string releaseNotesURL; // absolute http(s) URL, or empty when the feed gives none
    std::string downloadURL;     // absolute http(s) URL

    friend bool operator==(const UpdateItem&, const UpdateItem&) = default;
};

/// Reads an update feed: an RSS 2.0 document whose channel's items carry the elements of feedNamespace
/// ("version", "displayVersion", "releaseNotes", "download"; see the README). Relative links are taken
/// from feedURL, the address the feed was finally read from. Items without a valid version or without an
/// http(s) download link are left out, as is a release-notes link that is not http(s); the others keep
/// their order. Throws UpdateError (malformedFeed) when the document is not well-formed XML or not RSS.
std::vector<UpdateItem> parseUpdateFeed(std::string_view document, std::string_view feedURL);

/// The newest item whose version is above the running one; the first of equals. Nothing when none is.
std::optional<UpdateItem> newestUpdate(const std::vector<UpdateItem>& items, std::string_view runningVersion);

} // namespace updates
