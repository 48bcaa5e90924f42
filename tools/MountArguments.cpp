#include "tools/MountArguments.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace tandalo::tools {

namespace {

constexpr std::string_view urlPrefix = "mtp://";
constexpr std::string_view tokenExtension = ".tandalo";

std::vector<std::string> splitOptions(const std::string& text) {
    std::vector<std::string> options;
    std::size_t start = 0;
    while (true) {
        const auto comma = text.find(',', start);
        options.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) {
            return options;
        }
        start = comma + 1;
    }
}

bool endsWithTokenExtension(std::string_view text) {
    if (text.size() <= tokenExtension.size()) {
        return false;
    }
    const auto tail = text.substr(text.size() - tokenExtension.size());
    // The extension reads the file's extension in any letter case, so this does too.
    return std::ranges::equal(tail, tokenExtension, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

bool isMTPURL(std::string_view text) {
    return text.size() >= urlPrefix.size() &&
           std::ranges::equal(text.substr(0, urlPrefix.size()), urlPrefix, [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

} // namespace

bool MountArguments::namesTokenFile() const {
    return !isMTPURL(resource);
}

std::string_view mountUsage() {
    return "usage: mount-tandalo [-f] [-o ro|rw] -t tandalo <resource> <folder>\n"
           "  <resource>  mtp://<serial number> (or mtp://any), or a token file\n"
           "              <mount folder>/.tandalo/<take-over-N|no-take-over-N|N>/<serial "
           "number|any>.tandalo\n"
           "              A device is also named by its place on the bus, for two of one serial number:\n"
           "              mtp://<serial number|any>?location=<L>, or <serial number|any>@<L>.tandalo\n"
           "  -f          stay in the foreground and serve until the folder is unmounted\n"
           "  -o ro       mount read-only\n"
           "  The USB bus is the bus service's when TANDALO_USB_BUS names its socket.";
}

MountArguments parseMountArguments(std::span<const std::string> arguments) {
    MountArguments parsed;
    bool typeGiven = false;
    bool optionsGiven = false;
    bool foregroundGiven = false;
    std::vector<std::string> operands;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (!operands.empty() || argument.empty() || argument[0] != '-' || argument == "-") {
            operands.push_back(argument);
            continue;
        }
        if (argument == "-t" || argument == "-o") {
            if (index + 1 >= arguments.size()) {
                throw UsageError("option " + argument + " needs a value");
            }
            const std::string& value = arguments[++index];
            if (argument == "-t") {
                if (typeGiven) {
                    throw UsageError("-t given more than once");
                }
                if (value != "tandalo") {
                    throw UsageError("unsupported file-system type \"" + value + "\" (only tandalo)");
                }
                typeGiven = true;
            } else {
                if (optionsGiven) {
                    throw UsageError("-o given more than once");
                }
                optionsGiven = true;
                for (const auto& option : splitOptions(value)) {
                    if (option == "ro") {
                        parsed.readOnly = true;
                    } else if (option == "rw") {
                        parsed.readOnly = false;
                    } else {
                        throw UsageError("unknown mount option \"" + option + "\"");
                    }
                }
            }
        } else if (argument == "-f") {
            if (foregroundGiven) {
                throw UsageError("-f given more than once");
            }
            foregroundGiven = true;
            parsed.foreground = true;
        } else {
            throw UsageError("unknown option \"" + argument + "\"");
        }
    }
    if (!typeGiven) {
        throw UsageError("the file-system type is missing (-t tandalo)");
    }
    if (operands.size() != 2) {
        throw UsageError("expected a resource and a folder, got " + std::to_string(operands.size()) +
                         " operand" + (operands.size() == 1 ? "" : "s"));
    }
    if (!isMTPURL(operands[0]) && !endsWithTokenExtension(operands[0])) {
        throw UsageError("the resource \"" + operands[0] +
                         "\" is not an mtp:// URL or a .tandalo token file");
    }
    if (operands[1].empty()) {
        throw UsageError("the folder is empty");
    }
    parsed.resource = operands[0];
    parsed.folder = operands[1];
    return parsed;
}

} // namespace tandalo::tools
