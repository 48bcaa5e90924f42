#include "Tandalo/core/MountState.h"

namespace tandalo::app {

const std::filesystem::path* MountState::mountedFolder() const noexcept {
    const auto* mounted = std::get_if<Mounted>(&m_value);
    return mounted != nullptr ? &mounted->folder : nullptr;
}

const std::string* MountState::failureMessage() const noexcept {
    const auto* failed = std::get_if<Failed>(&m_value);
    return failed != nullptr ? &failed->message : nullptr;
}

std::string MountState::diagnosticsText() const {
    struct Words {
        std::string operator()(const Mounted&) const { return "mounted"; }
        std::string operator()(const Failed& failed) const { return "failed: " + failed.message; }
        std::string operator()(const Unmounted&) const { return "not mounted"; }
        std::string operator()(const Mounting&) const { return "mounting"; }
        std::string operator()(const Unmounting&) const { return "ejecting"; }
    };
    return std::visit(Words{}, m_value);
}

} // namespace tandalo::app
