#pragma once

#include <compare>
#include <optional>
#include <string_view>

namespace updates {

/// Orders two version texts of the update feed. A version is a run of numeric components separated by
/// dots ("1.4.2", "27"), optionally followed by a suffix: whatever follows the numbers ("1.5b2",
/// "1.5-rc.1", "2.0 beta"). The rules:
/// - components compare as whole numbers of any length, so "1.10" > "1.9" and "1.04" == "1.4";
/// - a missing component counts as zero, so "1.4" == "1.4.0";
/// - with equal numbers, a version with a suffix is a pre-release and comes before the one without:
///   "1.5b2" < "1.5";
/// - two suffixes compare piece by piece, a piece being a run of digits (compared as a number) or a run
///   of letters (compared ignoring case), other characters only separating pieces; a number piece comes
///   after a letter piece, and a suffix that runs out first comes first: "b" < "b2" < "b10" < "rc1".
/// Nothing when either text is not a version (empty, or not starting with a digit after white space).
std::optional<std::strong_ordering> compareVersions(std::string_view left, std::string_view right);

/// Whether the text is a version by the rules above.
bool isVersion(std::string_view text);

} // namespace updates
