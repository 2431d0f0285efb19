// The program's operator new, counted, for the tests that no change
// allocates memory for each value it compares. In a file of its own, where
// nothing else is allocated (GCC otherwise warns of free() on new's memory).
#include <atomic>
#include <cstdlib>
#include <new>

#include "engine_test_support.h"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

std::size_t enginetest::allocationCount() { return allocations; }

void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
