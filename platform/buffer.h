// Page memory: buffers through which headers and blocks move, and the base
// class of the system's objects. Both take whole pages from the host, not the
// general heap.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/result.h"

// Returns one page allocation to the host; 487 for a null address.
[[nodiscard]] NbResult NbMemoryFree(void* address);

class CNimbraBase {
public:
    CNimbraBase();
    virtual ~CNimbraBase();
    CNimbraBase(const CNimbraBase&) = delete;
    CNimbraBase& operator=(const CNimbraBase&) = delete;

    // Objects of this family live in page memory when they live on the heap
    // at all; the system keeps them as locals and never deletes one.
    static void operator delete(void* address);
};

class CNimbraBuffer {
public:
    CNimbraBuffer();
    ~CNimbraBuffer();
    CNimbraBuffer(const CNimbraBuffer&) = delete;
    CNimbraBuffer& operator=(const CNimbraBuffer&) = delete;

    // 13 when the buffer already holds pages; the host's code when refused.
    [[nodiscard]] NbResult Allocate(std::uint32_t size, bool zeroFill);
    // Empties the buffer even when the host fails to take the pages back.
    [[nodiscard]] NbResult Free();

    std::uint8_t* Data = nullptr;
    std::uint32_t Size = 0;
};
