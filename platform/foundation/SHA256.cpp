#include "platform/foundation/SHA256.h"

#include "platform/foundation/FoundationError.h"

#include <openssl/evp.h>

namespace platform {

SHA256::Digest SHA256::hash(std::span<const std::byte> data) {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        throw FoundationError("SHA-256 failed in libcrypto");
    }
    return digest;
}

SHA256::Digest SHA256::hash(std::string_view text) {
    return hash(std::as_bytes(std::span(text.data(), text.size())));
}

} // namespace platform
