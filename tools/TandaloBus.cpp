// The bus service: a simulated USB bus with simulated phones (and, if asked, real MTP responders), served
// to every program that sets TANDALO_USB_BUS to its socket, so that the application, mount-tandalo and
// the tools all see the same devices. tandalo-busctl changes the devices while it runs.
#include "tools/StopSignals.h"

#include "platform/busservice/BusSocket.h"
#include "platform/foundation/Environment.h"
#include "simulation/service/BusService.h"
#include "simulation/service/ServiceDevices.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

int usage(const std::string& problem) {
    std::cerr << "tandalo-bus: " << problem << "\n"
              << "usage: tandalo-bus [--socket PATH] [--scenario FILE]... [DEVICE]...\n"
              << "  hosts a simulated USB bus for the programs that set TANDALO_USB_BUS to its socket\n"
              << "  DEVICE         one device in one argument, as tandalo-busctl plug takes it:\n"
              << "                 'phone serial=R58N123 product=\"Galaxy S21\" vendor=Samsung'\n"
              << "  --scenario     a file of devices, one per line (# starts a comment)\n"
              << "  --socket       default: $XDG_RUNTIME_DIR/tandalo/usb-bus.sock\n"
              << "  Without devices it hosts one phone with the demo's sample tree.\n";
    return 2;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read the scenario " + path);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

} // namespace

int main(int argc, char** argv) {
    std::optional<std::string> socket;
    std::vector<std::vector<std::string>> devices;
    try {
        for (int index = 1; index < argc; ++index) {
            const std::string argument = argv[index];
            if (argument == "--socket" || argument == "--scenario") {
                if (index + 1 >= argc) {
                    return usage(argument + " needs a value");
                }
                const std::string value = argv[++index];
                if (argument == "--socket") {
                    socket = value;
                } else {
                    for (auto& line : simulation::scenarioLines(readFile(value))) {
                        devices.push_back(std::move(line));
                    }
                }
            } else if (argument == "-h" || argument == "--help") {
                return usage("runs the bus service");
            } else if (argument.starts_with("-")) {
                return usage("unknown option \"" + argument + "\"");
            } else {
                devices.push_back(simulation::splitWords(argument));
            }
        }
        if (devices.empty()) {
            devices.push_back({"phone"});
        }
        tandalo::tools::StopSignals signals;
        auto bus = std::make_shared<simulation::SimulatedBus>();
        simulation::ServiceDevices hosted(bus);
        for (const auto& device : devices) {
            std::cout << "plugged " << hosted.plug(device) << '\n';
        }
        const auto path = socket ? std::filesystem::path(*socket)
                                 : busservice::defaultSocketPath(platform::Environment::process());
        auto service = simulation::BusService::start(
            bus, path, [&hosted](const busservice::CommandWords& words) { return hosted.run(words); });
        std::cout << "tandalo-bus: listening on " << service->socketPath().string() << "\n"
                  << "export " << busservice::socketVariable << "=" << service->socketPath().string()
                  << std::endl;
        signals.waitForStop();
        std::cout << "tandalo-bus: stopped" << std::endl;
        return 0;
    } catch (const simulation::DescriptionError& error) {
        return usage(error.what());
    } catch (const std::exception& error) {
        std::cerr << "tandalo-bus: " << error.what() << '\n';
        return 1;
    }
}
