// A client of the bus service in a process of its own: opens an entry, says so, and holds it until it is
// killed. Tests kill it to see that the service releases what a crashed client held.
//
//   bus-holder SOCKET ENTRY-ID
#include "platform/busservice/ServiceBus.h"

#include <iostream>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: bus-holder SOCKET ENTRY-ID\n";
        return 2;
    }
    try {
        busservice::ServiceBus bus(argv[1]);
        bus.open(std::stoull(argv[2], nullptr, 0), usb::OpenMode::exclusive);
        std::cout << "held" << std::endl;
        while (true) {
            ::pause();
        }
    } catch (const std::exception& error) {
        std::cout << "failed: " << error.what() << std::endl;
        return 1;
    }
}
