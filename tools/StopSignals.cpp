#include "tools/StopSignals.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace tandalo::tools {

namespace {

std::atomic<int> signalPipe{-1};
std::array<int, 2> stopPipe{-1, -1};

extern "C" void onStopSignal(int) {
    const int saved = errno;
    const int descriptor = signalPipe.load();
    if (descriptor >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto written = ::write(descriptor, &byte, 1);
    }
    errno = saved;
}

bool waitForStopSignal(int timeout) {
    pollfd descriptor{stopPipe[0], POLLIN, 0};
    int ready = 0;
    do {
        ready = ::poll(&descriptor, 1, timeout);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return false;
    }
    char drained[16];
    while (::read(stopPipe[0], drained, sizeof drained) > 0) {
    }
    return true;
}

} // namespace

StopSignals::StopSignals() {
    if (::pipe2(stopPipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    signalPipe.store(stopPipe[1]);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

StopSignals::~StopSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    signalPipe.store(-1);
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
}

bool StopSignals::waitForStop(std::chrono::milliseconds limit) {
    return waitForStopSignal(static_cast<int>(limit.count()));
}

void StopSignals::waitForStop() {
    while (!waitForStopSignal(-1)) {
    }
}

void StopSignals::requestStop() {
    onStopSignal(0);
}

} // namespace tandalo::tools
