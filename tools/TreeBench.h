#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The everyday work of a phone through the mounted folder, timed with the shell's own tools: a tree of
// 2,000 small files in 40 folders browsed, sized and copied out and in, and a large file copied out and
// in. The benchmarks of the simulated bus and of the USB machine share it; each makes the tree on the
// device side and mounts in its own way.
namespace tandalo::tools {

/// One file of the tree, by folder and name.
struct TreeFile {
    std::string folder;
    std::string name;
    std::size_t size = 0;
};

/// The files of the tree: 40 folders of 50 files of 1 to 16 KiB, always the same.
std::vector<TreeFile> benchTree();
/// The bytes of a file of the tree, which differ from file to file.
std::string treeFileBytes(const TreeFile& file);
/// Writes the tree into a local folder.
void writeTree(const std::filesystem::path& folder);

/// How to reach the device, for each round.
struct TreeTarget {
    /// Mounts the device afresh and returns the mounted folder of the storage that holds the tree under
    /// "bench-tree" and the large file under bigName.
    std::function<std::filesystem::path()> mount;
    std::function<void()> unmount;
    std::string bigName;
    std::uint64_t bigSize = 0;
    /// Returns once the device holds the whole file of that name beside the tree (a copy in ends there).
    std::function<void(const std::string& name, std::uint64_t size)> awaitArrived;
};

/// The figures of one round: seconds, but MB/s for the large file.
struct TreeRound {
    std::size_t entries = 0;
    double find = 0;
    double listAfterFind = 0;
    double du = 0;
    double listAgain = 0;
    double copyOut = 0;
    double copyIn = 0;
    double bigOut = 0;
    double bigIn = 0;
};

/// Runs the rounds, each on a fresh mount, copying through scratch (a local folder). Throws
/// std::runtime_error when a tool fails.
std::vector<TreeRound> measureTree(const TreeTarget& target, const std::filesystem::path& scratch,
                                   int rounds);

/// Prints each figure as min / median / max over the rounds, and the large file's speeds against the
/// whole-object transfers where those were measured.
void printTree(const std::string& title, const std::vector<TreeRound>& rounds, std::optional<double> wholeOut,
               std::optional<double> wholeIn);
/// Prints the large file's speeds over the rounds against whole-object transfers of wholeOut and wholeIn
/// MB/s, as min / median / max, on a line that begins "mounted/whole-object" and the label.
void printMountedRatios(const std::string& label, const std::vector<TreeRound>& rounds, double wholeOut,
                        double wholeIn);

} // namespace tandalo::tools
