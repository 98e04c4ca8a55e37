// Storage, growth and flushing of the nine data-block streams.
#include "streams/stream_set.h"

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "streams/block_files.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// The large stream buffers are written front to back once; with 4 KiB pages every page
// costs a fault on first touch, which showed as a large share of the run's time. Where the
// system offers them, 2 MiB pages are asked for on the aligned part of the buffer (only an
// advice: the memory stays what calloc gave, zeroed and untouched until it is used).
void advise_large_pages(void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLargePage = std::uintptr_t{1} << 21;
    if (p == nullptr || bytes < 2 * kLargePage) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kLargePage - 1) & ~(kLargePage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kLargePage - 1);
    if (end > begin) static_cast<void>(madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE));
#else
    static_cast<void>(p);
    static_cast<void>(bytes);
#endif
}

}  // namespace

void csv_flush(CsvOut& out) {
    if (out.used == 0) return;
    // A failure is kept in the file's error and reported when the files are closed.
    static_cast<void>(write_output(out.file, out.buffer, out.used));
    out.used = 0;
}

// A list that fills up doubles its storage, so no value is ever dropped for lack of room.
void streamset_push_grow(StreamSet& set, int list_id, std::int32_t value) {
    ValueList& list = set.lists[list_id];
    if (list.count * 4 + 4 > list.capacity) {
        const std::size_t grown = list.capacity < 4096 ? 4096 : list.capacity * 2;
        auto* bigger = static_cast<std::int8_t*>(std::realloc(list.items, grown / 4));
        if (bigger == nullptr) {
            set.out_of_memory = true;
            return;
        }
        list.items = bigger;
        list.capacity = grown;
        advise_large_pages(bigger, grown / 4);
    }
    if (valuelist_push(list, value) != 0) set.out_of_memory = true;
}

void streamset_put_grow(StreamSet& set, int stream, std::uint32_t value, unsigned width) {
    BitSink& sink = set.sinks[stream];
    if (bitsink_put(sink, value, width) != width) set.out_of_memory = true;
}

void streamset_build(StreamSet& set, int block_files, std::uint64_t file_length, std::uint64_t frame_count) {
    set.block_files = block_files;
    const std::uint64_t half_length = file_length / 2;
    // QMDCT first, then ADTS..TNS, as the streams are created in that order.
    for (int s : {8, 0, 1, 2, 3, 4, 5, 6, 7}) {
        const std::size_t capacity = static_cast<std::size_t>(s == STREAM_QMDCT ? file_length : half_length);
        std::uint8_t* buffer = nullptr;
        if (block_files && capacity > 0) buffer = static_cast<std::uint8_t*>(std::calloc(capacity, 1));
        advise_large_pages(buffer, capacity);
        bitsink_create(set.sinks[s], buffer, capacity, true);
        set.sinks[s].growable = block_files != 0;
    }
    // The first estimate of a value list is frame_count x 4096 bytes, but never more than
    // 1 GiB: a file of many tiny frames would otherwise ask for more memory than exists.
    // A list that needs more grows.
    constexpr std::uint64_t kMaxFirstListBytes = std::uint64_t{1} << 30;
    const std::uint64_t list_bytes = std::min<std::uint64_t>(frame_count * 4096, kMaxFirstListBytes);
    for (int l : {8, 9, 0, 1, 2, 3, 4, 5, 6, 7}) {
        const std::size_t capacity = block_files ? 0 : static_cast<std::size_t>(list_bytes);
        std::int8_t* items = nullptr;
        if (capacity > 0) items = static_cast<std::int8_t*>(std::calloc(capacity / 4, 1));
        advise_large_pages(items, capacity / 4);
        valuelist_create(set.lists[l], items, items != nullptr ? capacity : 0, true);
    }
    for (int l = 0; l < kListCount; ++l) {
        if (block_files && set.csv[l].buffer == nullptr) set.csv[l].buffer = static_cast<char*>(std::malloc(kCsvBufferSize));
        set.csv[l].used = 0;
    }
}

int streamset_flush(StreamSet& set) {
    int failed = 0;
    if (!set.block_files) {
        // Lists 0..7, then QMDCT_0 and QMDCT_1 for stream 8: the ten lists in their own order.
        ContainerWriter w;
        if (container_begin(w, set.container, set.direct_container_writes) != 0) return 1;
        for (const ValueList& list : set.lists) write_values_block(w, list);
        return container_end(w);
    }
    for (int s = 0; s < kStreamCount; ++s) {
        const std::size_t bytes = static_cast<std::size_t>((stream_bits(set, s) + 7) / 8);
        if (bytes > 0 && write_output(set.bin[s], set.sinks[s].buffer, bytes) != 0) failed = 1;
    }
    for (CsvOut& out : set.csv) {
        csv_flush(out);
        if (out.file.error != 0) failed = 1;
    }
    return failed;
}

void streamset_release(StreamSet& set) {
    for (BitSink& sink : set.sinks) {
        std::free(sink.buffer);
        sink = BitSink{};
    }
    for (ValueList& list : set.lists) {
        std::free(list.items);
        valuelist_release(list);
        list = ValueList{};
    }
    for (CsvOut& out : set.csv) {
        std::free(out.buffer);
        out.buffer = nullptr;
        out.used = 0;
    }
}
