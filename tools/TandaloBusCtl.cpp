// The bus service's command-line client: plugs, unplugs and breaks the service's devices while other
// programs use them ("tandalo-busctl unplug R58N123" in the middle of a copy), and lists them.
#include "platform/busservice/BusSocket.h"
#include "platform/busservice/ServiceBus.h"
#include "platform/foundation/Environment.h"

#include <iostream>
#include <string>

namespace {

int usage(const std::string& problem) {
    std::cerr << "tandalo-busctl: " << problem << "\n"
              << "usage: tandalo-busctl [--socket PATH] COMMAND [ARGUMENT]...\n"
              << "  talks to the bus service at $TANDALO_USB_BUS, else at its default socket;\n"
              << "  \"tandalo-busctl help\" lists the commands\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const auto& environment = platform::Environment::process();
    std::filesystem::path socket = busservice::defaultSocketPath(environment);
    if (const auto named = environment.value(busservice::socketVariable); named && !named->empty()) {
        socket = *named;
    }
    int first = 1;
    if (first < argc && std::string(argv[first]) == "--socket") {
        if (first + 1 >= argc) {
            return usage("--socket needs a path");
        }
        socket = argv[first + 1];
        first += 2;
    }
    if (first >= argc) {
        return usage("no command given");
    }
    const busservice::CommandWords words(argv + first, argv + argc);
    try {
        busservice::ServiceBus bus(socket);
        const auto outcome = bus.command(words);
        (outcome.succeeded ? std::cout : std::cerr)
            << outcome.text << (outcome.text.ends_with('\n') ? "" : "\n");
        return outcome.succeeded ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "tandalo-busctl: no bus service answers at " << socket.string() << " (" << error.what()
                  << ")\n";
        return 1;
    }
}
