// What a large folder costs the file-system model: a listing by object property lists against one by
// handles and object information (which asks each file's 64-bit size where the device offers it, one
// transaction more per file), and look-ups once the folder is cached. The phone is the simulated one
// on the simulated bus with no link delay, so the times are the library's own work; the transaction
// counts say what a real phone would add (about a millisecond of turnaround each).

#include "tools/BenchDevice.h"

#include "Corvane/filesystem/MTPFileSystem.h"
#include "simulation/PhoneUSBFunction.h"
#include "simulation/SimulatedBus.h"
#include "simulation/SimulatedPhone.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

using corvane::MTPFileSystem;
using corvane::PTPOperation;

constexpr int folderSize = 10000;
const std::string folderPath = "/Internal shared storage/Big";

std::string fileName(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "file-%05d.jpg", index);
    return name;
}

/// A phone on a simulated bus with one folder of folderSize files, and a file system opened over it.
struct BigFolder {
    explicit BigFolder(bool propertyLists, std::int64_t readChunk = 1 << 20, bool sizes64 = true) {
        phone->setOperationSupported(PTPOperation::getObjectPropList, propertyLists);
        phone->setOperationSupported(PTPOperation::getObjectPropValue, sizes64);
        storage = phone->addStorage();
        folder = phone->addFolders(storage, "Big");
        for (int index = 0; index < folderSize; ++index) {
            phone->addGeneratedFile(storage, folder, fileName(index),
                                    static_cast<std::uint64_t>(index) * 1000);
        }
        simulation::plugPhone(*bus, phone);
        device = std::make_unique<tandalo::tools::BenchDevice>(bus);
        (*device)->setReadChunkSize(readChunk);
        fs = std::make_unique<MTPFileSystem>(device->device());
        fs->open();
        phone->clearLog();
    }

    std::shared_ptr<simulation::SimulatedBus> bus = std::make_shared<simulation::SimulatedBus>();
    std::shared_ptr<simulation::SimulatedPhone> phone = std::make_shared<simulation::SimulatedPhone>();
    std::uint32_t storage = 0;
    std::uint32_t folder = 0;
    std::unique_ptr<tandalo::tools::BenchDevice> device;
    std::unique_ptr<MTPFileSystem> fs; // last: it goes first, while the bus is still there
};

// The first argument is the device's read chunk in KiB: every read of the transport asks for that much,
// so it shows what the transport's per-read cost adds to the short answers of a listing by handles. The
// second says whether the device offers the 64-bit size of each object.
void listFolder(benchmark::State& state, bool propertyLists) {
    BigFolder big(propertyLists, state.range(0) * 1024, state.range(1) != 0);
    std::size_t transactions = 0;
    std::size_t listed = 0;
    for (auto _ : state) {
        big.fs->invalidateAll();
        listed = big.fs->list(big.storage, big.folder).size();
        state.PauseTiming();
        transactions += big.phone->transactions().size();
        big.phone->clearLog();
        state.ResumeTiming();
    }
    if (listed != folderSize) {
        state.SkipWithError("the listing missed objects");
    }
    const double perListing = static_cast<double>(transactions) / static_cast<double>(state.iterations());
    state.counters["objects"] = static_cast<double>(listed);
    state.counters["transactions"] = perListing;
}

void BM_ListByPropertyLists(benchmark::State& state) {
    listFolder(state, true);
}

void BM_ListByHandlesAndObjectInfo(benchmark::State& state) {
    listFolder(state, false);
}

void BM_CachedLookup(benchmark::State& state) {
    BigFolder big(true);
    const std::string path = folderPath + "/" + fileName(folderSize / 2);
    big.fs->lookup(path);
    big.phone->clearLog();
    for (auto _ : state) {
        benchmark::DoNotOptimize(big.fs->lookup(path));
    }
    state.counters["transactions"] = static_cast<double>(big.phone->transactions().size());
}

void BM_CachedChild(benchmark::State& state) {
    BigFolder big(true);
    const std::string name = fileName(folderSize - 1);
    big.fs->list(big.storage, big.folder);
    big.phone->clearLog();
    for (auto _ : state) {
        benchmark::DoNotOptimize(big.fs->child(big.storage, big.folder, name));
    }
    state.counters["transactions"] = static_cast<double>(big.phone->transactions().size());
}

void BM_CachedList(benchmark::State& state) {
    BigFolder big(true);
    big.fs->list(big.storage, big.folder);
    big.phone->clearLog();
    for (auto _ : state) {
        benchmark::DoNotOptimize(big.fs->list(big.storage, big.folder));
    }
    state.counters["transactions"] = static_cast<double>(big.phone->transactions().size());
}

BENCHMARK(BM_ListByPropertyLists)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5)
    ->ArgNames({"readKiB", "size64"})
    ->Args({1024, 1})
    ->Args({16, 1});
BENCHMARK(BM_ListByHandlesAndObjectInfo)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->ArgNames({"readKiB", "size64"})
    ->Args({1024, 1})
    ->Args({16, 1})
    ->Args({1024, 0});
BENCHMARK(BM_CachedLookup)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CachedChild)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CachedList)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
