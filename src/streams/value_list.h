// Fixed-capacity list of 32-bit signed values over a buffer it does not own.
#pragma once

#include <cstddef>
#include <cstdint>

struct ValueList {
    std::int32_t* items = nullptr;
    std::size_t capacity = 0;  // bytes
    std::size_t count = 0;
};

// Zero-fills the buffer unless already_zero says it is fresh from calloc.
void valuelist_create(ValueList& list, std::int32_t* items, std::size_t capacity, bool already_zero = false);

// Stores value at the end; returns 1 (and stores nothing) when the list is full, else 0.
inline int valuelist_push(ValueList& list, std::int32_t value) {
    if (list.count * 4 + 4 > list.capacity) return 1;
    list.items[list.count++] = value;
    return 0;
}
