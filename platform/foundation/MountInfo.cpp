#include "platform/foundation/MountInfo.h"

#include "platform/foundation/WholeNumber.h"

#include <fstream>
#include <optional>
#include <sstream>

namespace platform {

namespace {

bool isOctalDigit(char c) {
    return c >= '0' && c <= '7';
}

/// The line's fields. The kernel separates them by single blanks and escapes blanks inside them, so an
/// empty field (two blanks in a row) is kept as empty rather than skipped.
std::vector<std::string_view> fieldsOf(std::string_view line) {
    std::vector<std::string_view> fields;
    while (true) {
        const auto blank = line.find(' ');
        fields.push_back(line.substr(0, blank));
        if (blank == std::string_view::npos) {
            return fields;
        }
        line.remove_prefix(blank + 1);
    }
}

// id parent major:minor root mountpoint options [optional fields...] - type source superoptions
std::optional<MountInfo> parseLine(std::string_view line) {
    const auto fields = fieldsOf(line);
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") {
        ++separator;
    }
    if (separator + 2 >= fields.size()) {
        return std::nullopt;
    }
    MountInfo mount;
    const auto id = wholeNumber<std::uint64_t>(fields[0]);
    const auto parent = wholeNumber<std::uint64_t>(fields[1]);
    const auto colon = fields[2].find(':');
    if (!id || !parent || colon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto major = wholeNumber<unsigned>(fields[2].substr(0, colon));
    const auto minor = wholeNumber<unsigned>(fields[2].substr(colon + 1));
    if (!major || !minor) {
        return std::nullopt;
    }
    mount.mountID = *id;
    mount.parentID = *parent;
    mount.major = *major;
    mount.minor = *minor;
    mount.root = unescapeMountField(fields[3]);
    mount.mountPoint = unescapeMountField(fields[4]);
    mount.mountOptions = std::string(fields[5]);
    mount.fileSystemType = unescapeMountField(fields[separator + 1]);
    mount.source = unescapeMountField(fields[separator + 2]);
    if (separator + 3 < fields.size()) {
        mount.superOptions = unescapeMountField(fields[separator + 3]);
    }
    return mount;
}

} // namespace

std::string unescapeMountField(std::string_view field) {
    std::string result;
    result.reserve(field.size());
    for (std::size_t index = 0; index < field.size(); ++index) {
        if (field[index] == '\\' && index + 3 < field.size() && isOctalDigit(field[index + 1]) &&
            isOctalDigit(field[index + 2]) && isOctalDigit(field[index + 3])) {
            result += static_cast<char>(((field[index + 1] - '0') << 6) | ((field[index + 2] - '0') << 3) |
                                        (field[index + 3] - '0'));
            index += 3;
            continue;
        }
        result += field[index];
    }
    return result;
}

std::vector<MountInfo> MountInfo::parse(std::string_view text) {
    std::vector<MountInfo> mounts;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        if (auto mount = parseLine(text.substr(0, newline))) {
            mounts.push_back(std::move(*mount));
        }
        if (newline == std::string_view::npos) {
            break;
        }
        text.remove_prefix(newline + 1);
    }
    return mounts;
}

std::vector<MountInfo> MountInfo::read(const std::filesystem::path& file) {
    std::ifstream stream(file);
    if (!stream) {
        return {};
    }
    std::ostringstream contents;
    contents << stream.rdbuf();
    return parse(contents.str());
}

} // namespace platform
