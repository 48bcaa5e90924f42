#include "FileSystemExtension/AndroidItem.h"

namespace tandalo {

AndroidItem::AndroidItem(Kind kind, std::string name, std::uint64_t parentID)
    : m_id(identifier(kind)),
      m_state{parentID,     std::move(kind), std::move(name), 0,  false,   std::nullopt, std::nullopt,
              std::nullopt, std::nullopt,    std::nullopt,    {}, nullptr, false} {}

std::uint64_t AndroidItem::identifier(const Kind& kind) noexcept {
    if (const auto* storage = kind.storage()) {
        return std::uint64_t{storage->id} | storageIdentifierBit;
    }
    if (const auto* object = kind.object()) {
        return std::uint64_t{object->handle()} | objectIdentifierBit;
    }
    return rootIdentifier;
}

} // namespace tandalo
