#include "replymemory.h"

#include <sys/mman.h>

#include <cstdint>
#include <mutex>
#include <new>

namespace replymemory {
namespace {

constexpr std::size_t kHugePage = 2u << 20;

std::size_t mappedLength(std::size_t capacity) { return (capacity + kHugePage - 1) & ~(kHugePage - 1); }

// One spare, shared by every thread of the process (the daemon builds its
// parameter blocks on the session threads).
std::mutex gSpareLock;
char* gSpare = nullptr;
std::size_t gSpareLength = 0;

// Maps length bytes (a multiple of the huge page) starting on a huge-page
// boundary, so that every 2 MiB of the block can be one huge page.
char* mapAligned(std::size_t length)
{
    const std::size_t padded = length + kHugePage;
    void* raw = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) {
        return nullptr;
    }
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) {
        ::munmap(raw, aligned - start);
    }
    const std::uintptr_t end = start + padded;
    if (end > aligned + length) {
        ::munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    }
    // Only advice: without huge pages the block works the same, with more faults.
    (void)::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<char*>(aligned);
}

} // namespace

char* allocate(std::size_t size, std::size_t* capacity)
{
    if (size < kLargeReply) {
        *capacity = size;
        return new (std::nothrow) char[size];
    }
    {
        std::lock_guard<std::mutex> hold(gSpareLock);
        if (gSpare != nullptr && gSpareLength >= size) {
            char* block = gSpare;
            gSpare = nullptr;
            *capacity = gSpareLength;
            return block;
        }
    }
    const std::size_t length = mappedLength(size);
    if (length < size) {
        return nullptr;
    }
    char* block = mapAligned(length);
    *capacity = size;
    return block;
}

void release(char* block, std::size_t capacity)
{
    if (block == nullptr) {
        return;
    }
    if (capacity < kLargeReply) {
        delete[] block;
        return;
    }
    std::size_t length = mappedLength(capacity);
    if (length <= kLargestSpare) {
        // The pages stay mapped and reusable until the kernel needs them.
        (void)::madvise(block, length, MADV_FREE);
        std::lock_guard<std::mutex> hold(gSpareLock);
        if (gSpare == nullptr || gSpareLength < length) {
            std::swap(block, gSpare);
            std::swap(length, gSpareLength);
        }
    }
    if (block != nullptr) {
        ::munmap(block, length);
    }
}

} // namespace replymemory
