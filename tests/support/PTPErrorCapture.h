#pragma once

#include "Corvane/wire/PTPError.h"

#include <gtest/gtest.h>

#include <exception>
#include <utility>

namespace testsupport {

/// Runs f and returns the PTPError it throws; fails the test when it throws nothing or something else.
template <typename F> corvane::PTPError catchPTPError(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const corvane::PTPError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "threw another exception: " << error.what();
        return corvane::PTPError::cancelled();
    }
    ADD_FAILURE() << "threw nothing";
    return corvane::PTPError::cancelled();
}

} // namespace testsupport
