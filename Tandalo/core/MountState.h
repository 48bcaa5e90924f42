#pragma once

#include <filesystem>
#include <string>
#include <variant>

namespace tandalo::app {

/// Where one device stands: mounted on a folder, failed with a message for the user, unmounted, or on its
/// way in either direction. A plain value; two states are equal when they are the same case with equal
/// folder or message.
class MountState {
public:
    struct Mounted {
        std::filesystem::path folder;
        bool operator==(const Mounted&) const = default;
    };
    struct Failed {
        std::string message;
        bool operator==(const Failed&) const = default;
    };
    struct Unmounted {
        bool operator==(const Unmounted&) const = default;
    };
    struct Mounting {
        bool operator==(const Mounting&) const = default;
    };
    struct Unmounting {
        bool operator==(const Unmounting&) const = default;
    };
    using Value = std::variant<Mounted, Failed, Unmounted, Mounting, Unmounting>;

    MountState() : m_value(Unmounted{}) {}

    static MountState mounted(std::filesystem::path folder) { return MountState(Mounted{std::move(folder)}); }
    static MountState failed(std::string message) { return MountState(Failed{std::move(message)}); }
    static MountState unmounted() { return MountState(Unmounted{}); }
    static MountState mounting() { return MountState(Mounting{}); }
    static MountState unmounting() { return MountState(Unmounting{}); }

    const Value& value() const noexcept { return m_value; }
    bool isMounted() const noexcept { return std::holds_alternative<Mounted>(m_value); }
    bool isFailed() const noexcept { return std::holds_alternative<Failed>(m_value); }
    bool isUnmounted() const noexcept { return std::holds_alternative<Unmounted>(m_value); }
    bool isMounting() const noexcept { return std::holds_alternative<Mounting>(m_value); }
    bool isUnmounting() const noexcept { return std::holds_alternative<Unmounting>(m_value); }
    /// The folder of a mounted device; nullptr in every other state.
    const std::filesystem::path* mountedFolder() const noexcept;
    /// The message of a failed device; nullptr in every other state.
    const std::string* failureMessage() const noexcept;

    /// The words of the diagnostics report: "mounted", "failed: <message>", "not mounted", "mounting",
    /// "ejecting".
    std::string diagnosticsText() const;

    bool operator==(const MountState&) const = default;

private:
    explicit MountState(Value value) : m_value(std::move(value)) {}

    Value m_value;
};

} // namespace tandalo::app
