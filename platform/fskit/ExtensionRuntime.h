#pragma once

#include "platform/fskit/FSUnaryFileSystem.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fskit {

/// The configuration a unary file-system extension declares to the extension runtime. FSKit's unary
/// file-system extensions get these defaults; an extension only supplies its file system.
struct UnaryFileSystemExtensionConfiguration {
    /// The extension point the platform finds file-system modules under.
    std::string extensionPoint = "com.apple.fskit.fsmodule";
};

/// The platform's extension runtime: it takes the extension's process once the entry hands it control,
/// asks the extension for its one file system, and calls it for each resource (probe, load, unload) and
/// each loaded volume until the platform is done with the extension. A host (the FUSE host on Linux)
/// installs one. Header-only, so that the layer's library needs no new source for it.
class ExtensionRuntime {
public:
    virtual ~ExtensionRuntime() = default;

    /// Serves the extension; returns the process's exit status when the platform is done with it.
    virtual int run(UnaryFileSystemExtension& extension,
                    const UnaryFileSystemExtensionConfiguration& configuration,
                    std::span<const std::string_view> arguments) = 0;

    /// The runtime the entry hands control to; null until a host installs one. Any thread.
    static std::shared_ptr<ExtensionRuntime> installed() {
        std::lock_guard guard(registry().lock);
        return registry().runtime;
    }
    static void install(std::shared_ptr<ExtensionRuntime> runtime) {
        std::lock_guard guard(registry().lock);
        registry().runtime = std::move(runtime);
    }

private:
    struct Registry {
        std::mutex lock; // guards runtime; held only to copy or replace it
        std::shared_ptr<ExtensionRuntime> runtime;
    };
    static Registry& registry() {
        static Registry shared;
        return shared;
    }
};

/// The process entry of a unary file-system extension: hands the extension to the installed runtime and
/// returns its exit status. Without a runtime it says so on standard error and returns 69 (EX_UNAVAILABLE).
inline int extensionMain(UnaryFileSystemExtension& extension, int argc, const char* const* argv,
                         const UnaryFileSystemExtensionConfiguration& configuration = {}) {
    constexpr int exitUnavailable = 69;
    const auto runtime = ExtensionRuntime::installed();
    if (!runtime) {
        std::fputs("fskit: no extension runtime is installed in this process\n", stderr);
        return exitUnavailable;
    }
    std::vector<std::string_view> arguments;
    for (int index = 0; argv != nullptr && index < argc; ++index) {
        if (argv[index] != nullptr) {
            arguments.emplace_back(argv[index]);
        }
    }
    return runtime->run(extension, configuration, arguments);
}

} // namespace fskit
