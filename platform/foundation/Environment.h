#pragma once

#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

/// Read access to a process environment. Code that consults a variable takes an Environment so that tests
/// can hand it one of their own instead of changing the real environment under other threads.
class Environment {
public:
    virtual ~Environment() = default;

    /// The variable's value. A variable that is set to the empty text is present: it gives "", while an
    /// absent variable gives std::nullopt.
    virtual std::optional<std::string> value(std::string_view name) const = 0;

    bool contains(std::string_view name) const { return value(name).has_value(); }

    /// The real environment of this process, read afresh at every call.
    static const Environment& process();
};

/// An environment held in memory, for tests. It may be changed while other threads read it.
class MemoryEnvironment final : public Environment {
public:
    MemoryEnvironment() = default;
    MemoryEnvironment(std::initializer_list<std::pair<const std::string, std::string>> variables);

    std::optional<std::string> value(std::string_view name) const override;
    void set(std::string_view name, std::string_view value);
    void unset(std::string_view name);

private:
    mutable std::mutex m_mutex; // guards m_variables; never held across a call out of this class
    std::map<std::string, std::string, std::less<>> m_variables;
};

} // namespace platform
