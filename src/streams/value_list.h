// List of 32-bit signed values with a fixed capacity. Each value is kept in one byte when it
// lies within -127..127, which nearly every value of a compression does; any other value
// leaves a mark byte and goes, in order, to a side array of full values. The long spectral
// lists of a ".swp" compression so take a quarter of the memory their 32-bit values would.
#pragma once

#include <cstddef>
#include <cstdint>

struct ValueList {
    std::int8_t* items = nullptr;  // capacity / 4 bytes, one per value; not owned
    std::size_t capacity = 0;      // in bytes of 32-bit values: the list holds capacity / 4 values
    std::size_t count = 0;
    std::int32_t* wide = nullptr;  // the values behind the marks, in order; owned
    std::size_t wide_count = 0;
    std::size_t wide_capacity = 0;  // values
};

constexpr std::int8_t kWideMark = -128;

// Starts an empty list over items (capacity / 4 bytes); zero-fills them unless already_zero
// says they are fresh from calloc.
void valuelist_create(ValueList& list, std::int8_t* items, std::size_t capacity, bool already_zero = false);
// Frees the side array (the items belong to the caller).
void valuelist_release(ValueList& list);

// Slow path of valuelist_push: a value outside one byte.
int valuelist_push_wide(ValueList& list, std::int32_t value);

// Stores value at the end; returns 0, 1 (nothing stored) when the list is full, or 2 when
// the side array could not grow.
inline int valuelist_push(ValueList& list, std::int32_t value) {
    if (list.count * 4 + 4 > list.capacity) return 1;
    if (value < -127 || value > 127) return valuelist_push_wide(list, value);
    list.items[list.count++] = static_cast<std::int8_t>(value);
    return 0;
}

// Slow path of valuelist_append: the side array entries of values[0..n) beyond one byte.
// On a failure to grow, the list keeps the values before the one that failed.
int valuelist_append_wide(ValueList& list, const std::int32_t* values, std::size_t n);

// Stores n values when there is room for all; returns 0, 1 (nothing stored) when there is
// not, or 2 when the side array could not grow (the values before the failing one are kept).
inline int valuelist_append(ValueList& list, const std::int32_t* values, std::size_t n) {
    if ((list.count + n) * 4 > list.capacity) return 1;
    // Blocks of 16 values are narrowed without branches; only a block holding a wide value
    // is looked at again for its side-array entries.
    constexpr std::size_t kBlock = 16;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t m = n - start < kBlock ? n - start : kBlock;
        const std::int32_t* in = values + start;
        std::int8_t* out = list.items + list.count;
        bool all_narrow = true;
        for (std::size_t i = 0; i < m; ++i) {
            const bool narrow = in[i] >= -127 && in[i] <= 127;
            out[i] = narrow ? static_cast<std::int8_t>(in[i]) : kWideMark;
            all_narrow &= narrow;
        }
        if (!all_narrow) {
            if (int r = valuelist_append_wide(list, in, m); r != 0) return r;
        } else {
            list.count += m;
        }
    }
    return 0;
}

// Reads values [first, first + n) into out, in order. `wide_next` is the index in the side
// array of the first mark at or after `first`; it is moved on past the marks read, so that
// consecutive calls walk the list front to back.
void valuelist_read(const ValueList& list, std::size_t first, std::size_t n, std::int32_t* out, std::size_t& wide_next);

