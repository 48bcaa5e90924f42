#pragma once

#include "Corvane/usb/USBDeviceDescriptor.h"
#include "Tandalo/core/ManualExecutor.h"
#include "Tandalo/core/Task.h"

#include <gtest/gtest.h>

#include <exception>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>

namespace tandalo::app::testing {

/// What a task ended with: its value or its error.
template <typename T> struct Outcome {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
    std::optional<Value> value;
    std::exception_ptr error;

    /// The error's text, or "" when the task succeeded.
    std::string errorText() const {
        if (!error) {
            return {};
        }
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& thrown) {
            return thrown.what();
        }
    }
    template <typename Error> const Error* errorAs() const {
        try {
            if (error) {
                std::rethrow_exception(error);
            }
        } catch (const Error& thrown) {
            return &thrown;
        } catch (...) {
        }
        return nullptr;
    }
};

template <typename T> Task<void> capture(Task<T> task, Outcome<T>& outcome, bool& finished) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome.value.emplace();
        } else {
            outcome.value.emplace(co_await std::move(task));
        }
    } catch (...) {
        outcome.error = std::current_exception();
    }
    finished = true;
}

/// Runs the task on the executor, moving time from timer to timer, until it ends.
template <typename T> Outcome<T> runToEnd(ManualExecutor& executor, Task<T> task) {
    Outcome<T> outcome;
    bool finished = false;
    spawn(executor, capture(std::move(task), outcome, finished));
    executor.runUntilIdle();
    while (!finished && executor.advanceToNextTimer()) {
    }
    EXPECT_TRUE(finished) << "the task waits for something no timer brings";
    return outcome;
}

/// A Pixel 7 as discovery reports it, with the serial number and bus location of choice.
inline corvane::USBDeviceDescriptor device(std::string serial, std::uint32_t location = 0x14200000,
                                           std::uint64_t registryID = 4300) {
    corvane::USBDeviceDescriptor result;
    result.registryEntryID = registryID;
    result.vendorName = "Google";
    result.productName = "Pixel 7";
    result.serialNumber = std::move(serial);
    result.locationID = location;
    return result;
}

} // namespace tandalo::app::testing
