// The runs behind every call of the C interface: the caller's records read and written by
// their sizes, the driver's settings from the caller's options, and the report in the
// caller's record.
#include "lib/lib_run.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>

namespace {

constexpr unsigned kMaxThreads = 65535;  // the program takes up to four digits
// The threads that threads = 0 starts at most. Each coding thread holds its chunks and its
// models, 8 to 12 MiB: two keep a run within 64 MiB on any input, a stream's buffers and the
// part of a stream kept in memory included (a container naming a million access units, fed
// to a stream, peaks at 57 MiB with two and 63 with three). More are started when asked for.
constexpr unsigned kDefaultThreadCap = 2;

// The records as version 2.0, the first with a size, laid them out: no smaller size is taken.
// These stay as they are when fields are added at the ends.
constexpr std::size_t kOptionsSize2 = offsetof(aaz_options, user) + sizeof(void*);
constexpr std::size_t kInfoSize2 = offsetof(aaz_info, message) + sizeof(aaz_info::message);
// Far past any record a later version could have: a size above it is garbage (a record that
// was never initialised), not a record to read or write that far.
constexpr std::size_t kRecordSizeLimit = 1u << 16;

bool record_size_ok(std::size_t size, std::size_t smallest) { return size >= smallest && size <= kRecordSizeLimit; }

void copy_text(char* to, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

int write_nowhere(void*, const std::uint8_t*, std::size_t) { return 0; }

unsigned default_threads() { return std::clamp(std::thread::hardware_concurrency(), 1u, kDefaultThreadCap); }

// Gives a caller's record of `size` bytes the defaults of the `known` bytes this library
// knows; any bytes past them (a later version's fields) are zero.
void init_record(void* record, std::size_t size, const void* defaults, std::size_t known) {
    std::memset(record, 0, size);
    std::memcpy(record, defaults, std::min(size, known));
}

}  // namespace

int settings_from_options(const aaz_options* options, aaz_options& checked, PackSettings& settings) {
    checked = aaz_options{};
    checked.size = sizeof checked;
    if (options != nullptr) {
        const std::size_t size = options->size;
        if (!record_size_ok(size, kOptionsSize2)) return AAZ_BAD_ARGUMENT;
        // A later version's fields that this library does not know must be unset: it cannot do
        // what they would ask.
        const auto* bytes = reinterpret_cast<const unsigned char*>(options);
        for (std::size_t i = sizeof checked; i < size; ++i)
            if (bytes[i] != 0) return AAZ_BAD_ARGUMENT;
        std::memcpy(&checked, options, std::min(size, sizeof checked));
        checked.size = sizeof checked;
    }
    if (checked.threads > kMaxThreads) return AAZ_BAD_ARGUMENT;
    settings = PackSettings{};
    settings.threads = checked.threads != 0 ? checked.threads : default_threads();
    settings.input_size = checked.input_size;
    settings.stats_by_family = checked.family_stats != 0;
    settings.progress = checked.progress;
    settings.progress_self = checked.user;
    settings.chunk_done = checked.chunk_done;
    settings.chunk_done_self = checked.user;
    settings.memory_limit = checked.memory_limit;
    return AAZ_OK;
}

bool info_usable(const aaz_info* info) { return info == nullptr || record_size_ok(info->size, kInfoSize2); }

void hand_info(const aaz_info& found, aaz_info* info) {
    if (info == nullptr) return;
    const std::size_t size = info->size;
    init_record(info, size, &found, sizeof found);
    info->size = size;
}

int result_of(PackResult pack_result) {
    switch (run_outcome(pack_result)) {
        case PACK_OK: return AAZ_OK;
        case PACK_READ_FAILED: return AAZ_READ_FAILED;
        case PACK_WRITE_FAILED: return AAZ_WRITE_FAILED;
        case PACK_NOT_PACKED: return AAZ_NOT_PACKED;
        case PACK_UNSUPPORTED_VERSION: return AAZ_UNSUPPORTED_VERSION;
        case PACK_DAMAGED: return AAZ_DAMAGED;
        case PACK_VERIFY_FAILED: return AAZ_VERIFY_FAILED;
        case PACK_MEMORY_LIMIT: return AAZ_MEMORY_LIMIT;
        case PACK_BUILD_FAULT: return AAZ_BUILD_FAULT;
        default: return AAZ_BAD_ARGUMENT;
    }
}

void fill_info(const PackReport& report, const char* units, aaz_info* info) {
    if (info == nullptr) return;
    aaz_info found{};
    found.format_version = report.format_version;
    found.original_bytes = report.original_bytes;
    found.packed_bytes = report.packed_bytes;
    found.chunks = report.chunks;
    static_assert(int{METHOD_COUNT} <= int{AAZ_METHODS} && int{FAMILY_COUNT} <= int{AAZ_FAMILIES},
                  "aaz_info is too short");
    for (int m = 0; m < METHOD_COUNT; ++m) {
        found.chunks_by_method[m] = report.chunks_by_method[m];
        found.original_by_method[m] = report.original_by_method[m];
        found.packed_by_method[m] = report.packed_by_method[m];
    }
    found.frames = report.frames;
    found.frames_modelled = report.stats.frames_modelled;
    found.frames_raw = report.stats.frames_raw;
    found.other_bytes = report.stats.other_bytes;
    for (int f = 0; f < FAMILY_COUNT; ++f) found.family_bits[f] = report.stats.bits[f];
    found.sys_errno = report.error;
    copy_text(found.units, sizeof found.units, units);
    copy_text(found.message, sizeof found.message, report.message);
    hand_info(found, info);
}

void fail_info(int result, aaz_info* info) {
    PackReport report;
    report.message = aaz_strerror(result);
    fill_info(report, "", info);
}

int run_unpack(PackSettings settings, const ByteSource& in, const ByteSink& out, aaz_info* info) {
    PackReport report;
    const PackResult status = unpack_stream(in, out, settings, report);
    fill_info(report, "", info);
    return result_of(status);
}

ByteSink null_sink() { return ByteSink{nullptr, write_nowhere}; }

extern "C" {

int aaz_options_init_sized(aaz_options* options, size_t size) {
    if (options == nullptr) return AAZ_NULL_ARGUMENT;
    if (!record_size_ok(size, kOptionsSize2)) return AAZ_BAD_ARGUMENT;
    const aaz_options defaults{};
    init_record(options, size, &defaults, sizeof defaults);
    options->size = size;
    return AAZ_OK;
}

int aaz_info_init_sized(aaz_info* info, size_t size) {
    if (info == nullptr) return AAZ_NULL_ARGUMENT;
    if (!record_size_ok(size, kInfoSize2)) return AAZ_BAD_ARGUMENT;
    const aaz_info empty{};
    init_record(info, size, &empty, sizeof empty);
    info->size = size;
    return AAZ_OK;
}

}  // extern "C"
