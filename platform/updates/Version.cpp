#include "platform/updates/Version.h"

#include <algorithm>
#include <vector>

namespace updates {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
// Bytes of UTF-8 sequences count as letters, so a suffix in another script still orders consistently.
bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || static_cast<unsigned char>(c) >= 0x80;
}
char lowered(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Digit strings compare as numbers without converting them, so no component can overflow.
std::strong_ordering compareNumbers(std::string_view left, std::string_view right) {
    const auto significant = [](std::string_view digits) {
        const auto first = digits.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view{} : digits.substr(first);
    };
    left = significant(left);
    right = significant(right);
    if (left.size() != right.size()) {
        return left.size() <=> right.size();
    }
    return left.compare(right) <=> 0;
}

std::strong_ordering compareLetters(std::string_view left, std::string_view right) {
    return std::lexicographical_compare_three_way(left.begin(), left.end(), right.begin(), right.end(),
                                                  [](char a, char b) { return lowered(a) <=> lowered(b); });
}

// The next run of digits or letters in the suffix, skipping separators; empty at the end.
std::string_view nextPiece(std::string_view& rest) {
    while (!rest.empty() && !isDigit(rest.front()) && !isLetter(rest.front())) {
        rest.remove_prefix(1);
    }
    if (rest.empty()) {
        return {};
    }
    const bool digits = isDigit(rest.front());
    std::size_t length = 0;
    while (length < rest.size() && (digits ? isDigit(rest[length]) : isLetter(rest[length]))) {
        ++length;
    }
    const auto piece = rest.substr(0, length);
    rest.remove_prefix(length);
    return piece;
}

struct ParsedVersion {
    std::vector<std::string_view> components;
    std::string_view suffix;
};

std::optional<ParsedVersion> parse(std::string_view text) {
    text = trimmed(text);
    if (text.empty() || !isDigit(text.front())) {
        return std::nullopt;
    }
    ParsedVersion version;
    std::size_t position = 0;
    while (true) {
        const auto start = position;
        while (position < text.size() && isDigit(text[position])) {
            ++position;
        }
        version.components.push_back(text.substr(start, position - start));
        // A dot continues the numbers only when a digit follows; "1.4." and "1.4.b" leave a suffix.
        if (position + 1 < text.size() && text[position] == '.' && isDigit(text[position + 1])) {
            ++position;
            continue;
        }
        break;
    }
    version.suffix = text.substr(position);
    // A suffix of separators only ("1.4-") marks no pre-release.
    if (auto rest = version.suffix; nextPiece(rest).empty()) {
        version.suffix = {};
    }
    return version;
}

std::strong_ordering compareSuffixes(std::string_view left, std::string_view right) {
    while (true) {
        const auto a = nextPiece(left);
        const auto b = nextPiece(right);
        if (a.empty() || b.empty()) {
            return !a.empty() <=> !b.empty();
        }
        const bool aNumber = isDigit(a.front());
        const bool bNumber = isDigit(b.front());
        if (aNumber != bNumber) {
            return aNumber <=> bNumber;
        }
        const auto order = aNumber ? compareNumbers(a, b) : compareLetters(a, b);
        if (order != 0) {
            return order;
        }
    }
}

} // namespace

std::optional<std::strong_ordering> compareVersions(std::string_view left, std::string_view right) {
    const auto a = parse(left);
    const auto b = parse(right);
    if (!a || !b) {
        return std::nullopt;
    }
    const auto count = std::max(a->components.size(), b->components.size());
    for (std::size_t index = 0; index < count; ++index) {
        const auto x = index < a->components.size() ? a->components[index] : std::string_view{};
        const auto y = index < b->components.size() ? b->components[index] : std::string_view{};
        if (const auto order = compareNumbers(x, y); order != 0) {
            return order;
        }
    }
    if (a->suffix.empty() || b->suffix.empty()) {
        // The release itself comes after any of its pre-releases.
        return a->suffix.empty() <=> b->suffix.empty();
    }
    return compareSuffixes(a->suffix, b->suffix);
}

bool isVersion(std::string_view text) {
    return parse(text).has_value();
}

} // namespace updates
