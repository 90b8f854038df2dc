// Memory for the replies of parameter blocks.
//
// Most replies are a few hundred bytes and come from the ordinary heap. A
// large one (a whole log) would be a fresh mapping of its own each time, and
// faulting its pages in costs more than reading the log into it: the first
// touch of every page zeroes it. Large replies therefore get 2 MiB-aligned
// mappings with huge pages advised, and the last one freed is kept as a spare
// for the next large reply. The spare's pages are handed back to the kernel
// lazily (MADV_FREE): while memory is plentiful they stay mapped and the next
// log is read into them without a fault; under pressure the kernel reclaims
// them as free memory, and reusing the block faults fresh zeroed pages in.
#pragma once

#include <cstddef>

namespace replymemory {

/// Replies of at least this many bytes come from the large-reply mappings.
constexpr std::size_t kLargeReply = 4u << 20;

/// Replies larger than this are unmapped when freed rather than kept as the
/// spare: a daemon that once served a log of a gigabyte should not carry its
/// mapping for good.
constexpr std::size_t kLargestSpare = 256u << 20;

/// A block of at least size bytes, or null when memory runs out. *capacity
/// becomes its usable size: size itself, or the spare's whole length (at most
/// kLargestSpare) when the spare is reused.
char* allocate(std::size_t size, std::size_t* capacity);

/// Gives back a block from allocate() with the capacity it reported.
void release(char* block, std::size_t capacity);

} // namespace replymemory
