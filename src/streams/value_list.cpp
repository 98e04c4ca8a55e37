// ValueList creation, the side array of values beyond one byte, and reading back.
#include "streams/value_list.h"

#include <cstdlib>
#include <cstring>

void valuelist_create(ValueList& list, std::int8_t* items, std::size_t capacity, bool already_zero) {
    valuelist_release(list);
    list.items = items;
    list.capacity = items != nullptr ? capacity : 0;
    list.count = 0;
    if (items != nullptr && !already_zero) std::memset(items, 0, capacity / 4);
}

void valuelist_release(ValueList& list) {
    std::free(list.wide);
    list.wide = nullptr;
    list.wide_count = 0;
    list.wide_capacity = 0;
}

static bool store_wide(ValueList& list, std::int32_t value) {
    if (list.wide_count == list.wide_capacity) {
        const std::size_t grown = list.wide_capacity < 1024 ? 1024 : list.wide_capacity * 2;
        auto* bigger = static_cast<std::int32_t*>(std::realloc(list.wide, grown * sizeof(std::int32_t)));
        if (bigger == nullptr) return false;
        list.wide = bigger;
        list.wide_capacity = grown;
    }
    list.wide[list.wide_count++] = value;
    return true;
}

int valuelist_push_wide(ValueList& list, std::int32_t value) {
    if (!store_wide(list, value)) return 2;
    list.items[list.count++] = kWideMark;
    return 0;
}

int valuelist_append_wide(ValueList& list, const std::int32_t* values, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (values[i] >= -127 && values[i] <= 127) continue;
        if (!store_wide(list, values[i])) {
            list.count += i;
            return 2;
        }
    }
    list.count += n;
    return 0;
}

void valuelist_read(const ValueList& list, std::size_t first, std::size_t n, std::int32_t* out, std::size_t& wide_next) {
    const std::int8_t* in = list.items + first;
    for (std::size_t i = 0; i < n; ++i) out[i] = in[i];
    // Marks are rare: find them with memchr rather than testing every byte.
    for (std::size_t i = 0; i < n && wide_next < list.wide_count; ++i) {
        const void* mark = std::memchr(in + i, static_cast<unsigned char>(kWideMark), n - i);
        if (mark == nullptr) break;
        i = static_cast<std::size_t>(static_cast<const std::int8_t*>(mark) - in);
        out[i] = list.wide[wide_next++];
    }
}
