#include "FileSystemExtension/TandaloExtension.h"

#include "FileSystemExtension/TandaloFileSystem.h"

namespace tandalo {

std::shared_ptr<fskit::FSUnaryFileSystem> TandaloExtension::fileSystem() {
    // A function-local static is made exactly once, even when several threads ask at the same time.
    static const std::shared_ptr<TandaloFileSystem> shared = [] {
        const TandaloFileSystem::Context context;
        return std::make_shared<TandaloFileSystem>(context);
    }();
    return shared;
}

} // namespace tandalo
