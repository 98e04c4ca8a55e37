// ValueList creation; pushing is inline in the header.
#include "streams/value_list.h"

#include <cstring>

void valuelist_create(ValueList& list, std::int32_t* items, std::size_t capacity, bool already_zero) {
    list.items = items;
    list.capacity = items != nullptr ? capacity : 0;
    list.count = 0;
    if (items != nullptr && !already_zero) std::memset(items, 0, capacity);
}
