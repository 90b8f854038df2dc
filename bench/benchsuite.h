// The benchmarks the suite registers. Each takes the index of its table
// size in gSizes; the log key and cat work on the one big log.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

namespace zorbench {

// The XML floor (xmlfloor.cpp): the reply texts generated and parsed by the
// XML library alone.
void floorGenerateEntry(benchmark::State& state, std::size_t sizeIndex);
void floorGenerateTrigger(benchmark::State& state, std::size_t sizeIndex);
void floorParse(benchmark::State& state, std::size_t sizeIndex, bool triggers);

// Floors from outside the project (outsidefloors.cpp).
void floorPlainWrite(benchmark::State& state, std::size_t sizeIndex);
void floorSaxParse(benchmark::State& state, std::size_t sizeIndex);
void floorSaxScan(benchmark::State& state, std::size_t sizeIndex);
void floorXmllint(benchmark::State& state, std::size_t sizeIndex);
void floorCopySync(benchmark::State& state, std::size_t sizeIndex);
/// Whether `program` is an executable in a folder of PATH.
bool onPath(const std::string& program);

// Requests through the entry points (requestbench.cpp).
enum class Op { entryCount, entryGet, entrySet, entryAdd, triggerCount, triggerGet, triggerSet, triggerAdd, triggerDel };
void requestBenchmark(benchmark::State& state, std::size_t sizeIndex, Op op);
void deleteFirstEntry(benchmark::State& state, std::size_t sizeIndex);
void commitBenchmark(benchmark::State& state, std::size_t sizeIndex);
void loadBenchmark(benchmark::State& state, std::size_t sizeIndex);

// The log key against cat (logbench.cpp).
void logKeyBenchmark(benchmark::State& state);
void catBenchmark(benchmark::State& state);
/// Closes the log key's module copy, if one was opened.
void releaseLogModule();

} // namespace zorbench
