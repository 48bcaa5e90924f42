#pragma once

#include "platform/fskit/ExtensionRuntime.h"
#include "platform/fskit/FSUnaryFileSystem.h"

#include <memory>

namespace tandalo {

/// The extension's entry as FSKit sees it: a unary file-system extension whose one file system is a
/// TandaloFileSystem, shared by every instance and made on first use. Holds no state of its own.
class TandaloExtension final : public fskit::UnaryFileSystemExtension {
public:
    /// The process's one file system, on the process's clock, bus and preferences. Any thread; the first
    /// call makes it, exactly once.
    std::shared_ptr<fskit::FSUnaryFileSystem> fileSystem() override;
    /// FSKit's defaults for a unary file-system extension.
    fskit::UnaryFileSystemExtensionConfiguration configuration() const { return {}; }
};

} // namespace tandalo
