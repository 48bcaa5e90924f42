#pragma once

#include <sstream>
#include <string>

namespace testsupport {

/// Joins text and numbers into one string: concat("t", 3, "-", 7, ".txt") is "t3-7.txt". Tests build
/// names this way instead of "t" + std::to_string(k), which GCC 12 at -O3 flags with a false -Wrestrict.
template <class... Parts> std::string concat(const Parts&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

} // namespace testsupport
