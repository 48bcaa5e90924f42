#include "FileSystemExtension/TandaloExtension.h"

#include "FileSystemExtension/TandaloFileSystem.h"

namespace tandalo {

std::shared_ptr<fskit::FSUnaryFileSystem> TandaloExtension::fileSystem() {
    // A function-local static is made exactly once, even when several threads ask at the same time.
    static const std::shared_ptr<TandaloFileSystem> shared = std::make_shared<TandaloFileSystem>();
    return shared;
}

} // namespace tandalo
