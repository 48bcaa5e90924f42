#include "Tandalo/core/ProcessRunner.h"

namespace tandalo::app {

Task<ProcessResult> run(ProcessRunner& runner, ProcessCommand command) {
    auto start = [&runner, &command](Resumer<ProcessResult> resumer) {
        runner.start(command, [resumer](ProcessResult result) { resumer.resume(std::move(result)); });
    };
    co_return co_await callback<ProcessResult>(std::move(start), command.executable.filename().string());
}

} // namespace tandalo::app
