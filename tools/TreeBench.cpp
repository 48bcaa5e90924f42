#include "tools/TreeBench.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace tandalo::tools {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int folderCount = 40;
constexpr int filesPerFolder = 50;

std::string quoted(const fs::path& path) {
    std::string text = "'";
    for (const char each : path.string()) {
        text += each == '\'' ? std::string("'\\''") : std::string(1, each);
    }
    return text + "'";
}

/// Runs the command line in the shell and returns its output; throws when it fails.
std::string shell(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string output;
    char buffer[4096];
    while (const auto got = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(command + " failed");
    }
    return output;
}

double secondsOf(const std::string& command, std::string* output = nullptr) {
    const auto start = Clock::now();
    auto text = shell(command);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (output != nullptr) {
        *output = std::move(text);
    }
    return seconds;
}

struct Spread {
    double low;
    double middle;
    double high;
};

Spread spreadOf(const std::vector<TreeRound>& rounds, double TreeRound::*figure) {
    std::vector<double> values;
    for (const auto& round : rounds) {
        values.push_back(round.*figure);
    }
    std::sort(values.begin(), values.end());
    const auto size = values.size();
    const double middle = size % 2 == 1 ? values[size / 2] : (values[size / 2 - 1] + values[size / 2]) / 2;
    return {values.front(), middle, values.back()};
}

} // namespace

std::vector<TreeFile> benchTree() {
    std::vector<TreeFile> files;
    std::uint32_t state = 12345;
    for (int folder = 0; folder < folderCount; ++folder) {
        for (int file = 0; file < filesPerFolder; ++file) {
            state = state * 1103515245U + 12345U;
            const std::size_t size = 1024 + (state >> 8) % (15 * 1024 + 1);
            char folderName[16];
            char fileName[24];
            std::snprintf(folderName, sizeof folderName, "folder%02d", folder);
            std::snprintf(fileName, sizeof fileName, "photo%03d.jpg", file);
            files.push_back({folderName, fileName, size});
        }
    }
    return files;
}

std::string treeFileBytes(const TreeFile& file) {
    std::string bytes(file.size, '\0');
    const auto seed = std::hash<std::string>{}(file.folder + "/" + file.name);
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        bytes[index] = static_cast<char>(((index + seed) * 2654435761U) >> 13);
    }
    return bytes;
}

void writeTree(const fs::path& folder) {
    for (const auto& file : benchTree()) {
        fs::create_directories(folder / file.folder);
        const auto bytes = treeFileBytes(file);
        std::ofstream(folder / file.folder / file.name, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}

std::vector<TreeRound> measureTree(const TreeTarget& target, const fs::path& scratch, int rounds) {
    const fs::path local = scratch / "local-tree";
    fs::remove_all(local);
    writeTree(local);
    shell("head -c " + std::to_string(target.bigSize) + " /dev/urandom >" + quoted(scratch / "big-in.bin"));
    std::vector<TreeRound> figures;
    for (int round = 1; round <= rounds; ++round) {
        const fs::path storage = target.mount();
        const fs::path tree = storage / "bench-tree";
        TreeRound figure;
        try {
            std::string count;
            figure.find = secondsOf("find " + quoted(tree) + " | wc -l", &count);
            figure.entries = std::stoul(count);
            figure.listAfterFind = secondsOf("ls -lR " + quoted(tree) + " >/dev/null");
            figure.du = secondsOf("du -s " + quoted(tree) + " >/dev/null");
            figure.listAgain = secondsOf("ls -lR " + quoted(tree) + " >/dev/null");
            fs::remove_all(scratch / "tree-out");
            figure.copyOut = secondsOf("cp -r " + quoted(tree) + " " + quoted(scratch / "tree-out"));
            fs::remove_all(scratch / "tree-out");
            const auto treeIn = "bench-tree-in-" + std::to_string(::getpid()) + "-" + std::to_string(round);
            figure.copyIn = secondsOf("cp -r " + quoted(local) + " " + quoted(storage / treeIn));
            const double megabytes = static_cast<double>(target.bigSize) / 1e6;
            figure.bigOut = megabytes / secondsOf("cp " + quoted(storage / target.bigName) + " " +
                                                  quoted(scratch / "big-out.bin"));
            fs::remove(scratch / "big-out.bin");
            const auto bigIn =
                "bench-big-in-" + std::to_string(::getpid()) + "-" + std::to_string(round) + ".bin";
            const auto start = Clock::now();
            shell("cp " + quoted(scratch / "big-in.bin") + " " + quoted(storage / bigIn));
            if (target.awaitArrived) {
                target.awaitArrived(bigIn, target.bigSize);
            }
            figure.bigIn = megabytes / std::chrono::duration<double>(Clock::now() - start).count();
        } catch (...) {
            target.unmount();
            throw;
        }
        target.unmount();
        std::printf("round %d: find %.2f s (%zu entries), ls -lR %.2f s, du -s %.2f s, ls -lR %.2f s, "
                    "cp -r out %.2f s, in %.2f s, cp %.1f / %.1f MB/s\n",
                    round, figure.find, figure.entries, figure.listAfterFind, figure.du, figure.listAgain,
                    figure.copyOut, figure.copyIn, figure.bigOut, figure.bigIn);
        std::fflush(stdout);
        figures.push_back(figure);
    }
    fs::remove_all(local);
    fs::remove(scratch / "big-in.bin");
    return figures;
}

void printTree(const std::string& title, const std::vector<TreeRound>& rounds, std::optional<double> wholeOut,
               std::optional<double> wholeIn) {
    if (rounds.empty()) {
        return;
    }
    std::printf("%s, %zu rounds, min / median / max\n", title.c_str(), rounds.size());
    const auto line = [&](const char* what, double TreeRound::*figure, const char* unit) {
        const auto spread = spreadOf(rounds, figure);
        std::printf("  %-34s %8.2f / %8.2f / %8.2f %s\n", what, spread.low, spread.middle, spread.high, unit);
    };
    std::printf("  first find | wc -l: %zu entries\n", rounds.front().entries);
    line("first find | wc -l", &TreeRound::find, "s");
    line("ls -lR right after it", &TreeRound::listAfterFind, "s");
    line("du -s after that", &TreeRound::du, "s");
    line("ls -lR a second time", &TreeRound::listAgain, "s");
    line("cp -r of the tree out", &TreeRound::copyOut, "s");
    line("cp -r of such a tree in", &TreeRound::copyIn, "s");
    line("cp of the large file out", &TreeRound::bigOut, "MB/s");
    line("cp of the large file in", &TreeRound::bigIn, "MB/s");
    if (wholeOut && wholeIn) {
        std::printf("  whole-object GetObject %.1f MB/s, SendObject %.1f MB/s\n", *wholeOut, *wholeIn);
        printMountedRatios("", rounds, *wholeOut, *wholeIn);
    }
    std::fflush(stdout);
}

void printMountedRatios(const std::string& label, const std::vector<TreeRound>& rounds, double wholeOut,
                        double wholeIn) {
    if (rounds.empty()) {
        return;
    }
    const auto out = spreadOf(rounds, &TreeRound::bigOut);
    const auto in = spreadOf(rounds, &TreeRound::bigIn);
    std::printf("  mounted/whole-object%s%s out %.2f / %.2f / %.2f, in %.2f / %.2f / %.2f\n",
                label.empty() ? "" : " ", label.c_str(), out.low / wholeOut, out.middle / wholeOut,
                out.high / wholeOut, in.low / wholeIn, in.middle / wholeIn, in.high / wholeIn);
    std::fflush(stdout);
}

} // namespace tandalo::tools
