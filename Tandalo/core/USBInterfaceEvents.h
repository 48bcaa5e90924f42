#pragma once

#include "platform/iokit/IOKitLib.h"

#include <functional>
#include <memory>

namespace tandalo::app {

class Executor;

/// The registry's reports that a USB interface, of any kind, was added or removed. They say nothing of
/// which one: whoever listens lists the bus again.
class USBInterfaceEvents {
public:
    /// Keeps the reports coming while it lives; destroying it ends them, and a report already on its
    /// way to the executor is dropped.
    class Armed {
    public:
        virtual ~Armed() = default;
    };

    virtual ~USBInterfaceEvents() = default;

    /// Starts the reports: each calls report on the executor. Nothing when no report can be set up at all;
    /// a kind of report that cannot be set up (arrivals or removals) is left out without a word.
    virtual std::unique_ptr<Armed> arm(Executor& executor, std::function<void()> report) = 0;
};

/// The reports of a bus's registry: first-match and terminate notifications for every USB interface, on
/// a notification port that hands its callbacks to the executor. By default the process's own bus.
class RegistryInterfaceEvents final : public USBInterfaceEvents {
public:
    /// The registry class of every USB interface.
    static constexpr std::string_view interfaceClass = "IOUSBHostInterface";

    explicit RegistryInterfaceEvents(iokit::MainPort port = iokit::kIOMainPortDefault)
        : m_port(std::move(port)) {}

    std::unique_ptr<Armed> arm(Executor& executor, std::function<void()> report) override;

private:
    iokit::MainPort m_port;
};

} // namespace tandalo::app
