#pragma once

#include "Tandalo/core/Task.h"
#include "platform/foundation/Clock.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace tandalo::app {

/// A tool to run: the executable's path, its arguments, and how long it may take before it is stopped.
struct ProcessCommand {
    std::filesystem::path executable;
    std::vector<std::string> arguments;
    platform::Clock::Duration timeLimit = std::chrono::minutes(2);

    bool operator==(const ProcessCommand&) const = default;
};

/// What a child process left when it ended.
struct ProcessResult {
    /// The exit status; 128 plus the signal's number for a child that a signal ended.
    std::int32_t status = 0;
    /// Its standard output and standard error together, as written, decoded as UTF-8 with invalid
    /// sequences replaced; for a child that a signal ended, followed by a line that says so.
    std::string output;
    /// The child was stopped because its time limit passed.
    bool timedOut = false;

    bool operator==(const ProcessResult&) const = default;
};

/// Runs the system's tools as child processes, with one pipe for both of their output streams. The child
/// inherits the application's environment and working directory.
class ProcessRunner {
public:
    using Completion = std::function<void(ProcessResult)>;

    virtual ~ProcessRunner() = default;

    /// Launches the command and calls done exactly once, on any thread, when the child has ended. Throws
    /// platform::FoundationError (with the errno) when the child cannot be launched; done is then never
    /// called. Does not block.
    virtual void start(const ProcessCommand& command, Completion done) = 0;
};

/// Runs the command and awaits its end; throws what start() throws.
Task<ProcessResult> run(ProcessRunner& runner, ProcessCommand command);

} // namespace tandalo::app
