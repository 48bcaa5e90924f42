// The extension's process: the platform starts it and it hands control to the extension runtime.
#include "FileSystemExtension/TandaloExtension.h"
#include "platform/fskit/ExtensionRuntime.h"

int main(int argc, char** argv) {
    tandalo::TandaloExtension extension;
    return fskit::extensionMain(extension, argc, argv, extension.configuration());
}
