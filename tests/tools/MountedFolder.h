#pragma once

#include "platform/foundation/Clock.h"
#include "platform/fuse/FuseMount.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

// What the tests that work on a mounted folder through the kernel share: plain system calls, as the
// shell's tools make them, with errno turned into exceptions, and a bound on how long the work may take.
namespace tandalo::tools::testing {

/// Whether /dev/fuse can be opened; when not, why.
std::string fuseUnavailableReason();

std::string sha256Of(const std::string& bytes);
/// A deterministic pattern of the size, different for each seed.
std::string patterned(std::size_t size, unsigned seed);

/// The file's bytes through plain read(2) in 128 KiB pieces, as cp does; throws with errno text.
std::string readThrough(const std::string& path);
/// Creates or truncates the file and writes the bytes through write(2) in pieces of at most 1 MiB, then
/// closes it; throws with errno text.
void writeThrough(const std::string& path, const std::string& bytes);
/// What dd conv=notrunc does: opens the file for writing without O_TRUNC, writes the bytes at the
/// offset with pwrite(2) and closes it; throws with errno text.
void patchThrough(const std::string& path, std::uint64_t offset, const std::string& bytes);
/// The names in a folder through readdir(3), without "." and "..".
std::set<std::string> namesIn(const std::string& path);
/// errno after a call that reports failure with -1, or 0.
int errnoOf(int result);

struct CommandResult {
    /// The exit status, or -1 when the program could not be started or did not exit.
    int status = -1;
    /// Standard output and standard error, interleaved.
    std::string output;
};
/// Runs a program found on PATH with the arguments and waits for it; its input is empty.
CommandResult run(const std::vector<std::string>& arguments);
/// Whether a program is on PATH.
bool installed(const std::string& program);

/// Copies the tree into the folder with rsync -a twice and returns whether the times it set were kept. It
/// expects one of the two truthful outcomes: the times were kept, and the second run sends no file; or
/// the first run reports that it could not set them (exit status 23).
bool rsyncTwiceKeepsTimes(const std::string& tree, const std::string& folder);

/// Runs work on a thread of its own; past the limit forceAway() ends the mount so that the work fails
/// instead of hanging the test. Failures and exceptions of the work are reported as test failures.
void withinLimit(const std::function<void()>& forceAway, const std::function<void()>& work);
/// The same for a mount served in this process.
void withinLimit(fusehost::FuseMount& mount, const std::function<void()>& work);

/// For a device that stops answering in the middle of a copy out, with its bus on the virtual clock.
/// Reads the open file on in cp's pieces until a read fails or finds the end, the clock moving on
/// whenever the mount waits for a time-out; returns the virtual time it took and sets error to the
/// failed read's errno (0 at the end).
platform::Clock::Duration readOnUntilItEnds(int file, platform::VirtualClock& clock, int& error);
/// Then: what needs the device fails at once with EIO (a look-up in a folder never listed, a new file
/// sent at its close), and the mount shuts down at once, neither waiting for a time-out.
void expectEverythingFailsAtOnceAndUnmounts(fusehost::FuseMount& mount, platform::VirtualClock& clock,
                                            const std::filesystem::path& folderNeverListed,
                                            const std::filesystem::path& newFile);

} // namespace tandalo::tools::testing
