#include "platform/foundation/ChildProcess.h"

#include "platform/foundation/FoundationError.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <string_view>
#include <sys/wait.h>

extern char** environ;

namespace platform {

pid_t spawnProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& extraEnvironment, int outputDescriptor) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    // A variable given replaces the inherited one of its name: the child's getenv finds the first.
    const auto givenName = [&](std::string_view variable) {
        const auto name = variable.substr(0, variable.find('=') + 1);
        return std::any_of(extraEnvironment.begin(), extraEnvironment.end(),
                           [&](const std::string& given) { return given.starts_with(name); });
    };
    std::vector<char*> envp;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!givenName(*variable)) {
            envp.push_back(*variable);
        }
    }
    for (const auto& variable : extraEnvironment) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outputDescriptor >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outputDescriptor, 1);
        posix_spawn_file_actions_adddup2(&actions, outputDescriptor, 2);
    }
    pid_t pid = -1;
    const int result = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        throw FoundationError::fromErrno("posix_spawn", result, program);
    }
    return pid;
}

int waitForChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace platform
