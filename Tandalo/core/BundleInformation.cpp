#include "Tandalo/core/BundleInformation.h"

#include "platform/foundation/WholeNumber.h"

#ifndef TANDALO_VERSION
#define TANDALO_VERSION "0"
#endif
#ifndef TANDALO_BUILD_NUMBER
#define TANDALO_BUILD_NUMBER "1"
#endif

namespace tandalo::app {

namespace {

class BuiltInInformation final : public BundleInformation {
public:
    std::optional<Value> value(std::string_view key) const override {
        if (key == "CFBundleDisplayName" || key == "CFBundleName") {
            return Value(std::string("Tandalo"));
        }
        if (key == "CFBundleShortVersionString") {
            return Value(std::string(TANDALO_VERSION));
        }
        if (key == "CFBundleVersion") {
            return Value(std::string(TANDALO_BUILD_NUMBER));
        }
        return std::nullopt;
    }
};

std::optional<std::string> text(const BundleInformation& information, std::string_view key) {
    const auto value = information.value(key);
    if (!value || !std::holds_alternative<std::string>(*value)) {
        return std::nullopt;
    }
    return std::get<std::string>(*value);
}

} // namespace

const BundleInformation& BundleInformation::main() {
    static const BuiltInInformation information;
    return information;
}

std::string appDisplayName(const BundleInformation& information) {
    if (auto name = text(information, "CFBundleDisplayName")) {
        return *name;
    }
    return text(information, "CFBundleName").value_or("This app");
}

std::string appVersionString(const BundleInformation& information) {
    return text(information, "CFBundleShortVersionString").value_or("?") + " (" +
           text(information, "CFBundleVersion").value_or("?") + ")";
}

std::optional<std::int64_t> appBuildNumber(const BundleInformation& information) {
    auto build = text(information, "CFBundleVersion");
    if (!build || build->empty()) {
        return std::nullopt;
    }
    std::string_view digits = *build;
    if (digits.front() == '+') {
        digits.remove_prefix(1); // from_chars reads "-" but not "+"
        if (!digits.empty() && digits.front() == '-') {
            return std::nullopt;
        }
    }
    return platform::wholeNumber<std::int64_t>(digits);
}

} // namespace tandalo::app
