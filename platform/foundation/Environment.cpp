#include "platform/foundation/Environment.h"

#include <cstdlib>

namespace platform {

namespace {

class ProcessEnvironment final : public Environment {
public:
    std::optional<std::string> value(std::string_view name) const override {
        // getenv() would read a name with '=' or NUL in it as a different, shorter name.
        if (name.empty() || name.find_first_of(std::string_view("=\0", 2)) != std::string_view::npos) {
            return std::nullopt;
        }
        const std::string terminated(name);
        const char* found = std::getenv(terminated.c_str());
        if (found == nullptr) {
            return std::nullopt;
        }
        return std::string(found);
    }
};

} // namespace

const Environment& Environment::process() {
    static const ProcessEnvironment environment;
    return environment;
}

MemoryEnvironment::MemoryEnvironment(
    std::initializer_list<std::pair<const std::string, std::string>> variables)
    : m_variables(variables.begin(), variables.end()) {}

std::optional<std::string> MemoryEnvironment::value(std::string_view name) const {
    std::lock_guard guard(m_mutex);
    const auto found = m_variables.find(name);
    if (found == m_variables.end()) {
        return std::nullopt;
    }
    return found->second;
}

void MemoryEnvironment::set(std::string_view name, std::string_view value) {
    std::lock_guard guard(m_mutex);
    m_variables.insert_or_assign(std::string(name), std::string(value));
}

void MemoryEnvironment::unset(std::string_view name) {
    std::lock_guard guard(m_mutex);
    if (const auto found = m_variables.find(name); found != m_variables.end()) {
        m_variables.erase(found);
    }
}

} // namespace platform
