// The runs behind every call of the C interface: the driver's settings from the caller's
// options, the access units of a seekable input, and the report in the caller's record.
#include "lib/lib_run.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>


namespace {

constexpr unsigned kMaxThreads = 65535;  // the program takes up to four digits

void copy_text(char* to, std::size_t size, const std::string& text) {
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

int write_nowhere(void*, const std::uint8_t*, std::size_t) { return 0; }

}  // namespace

int settings_from_options(const aaz_options* options, aaz_options& checked, PackSettings& settings) {
    if (options != nullptr) {
        checked = *options;
    } else {
        aaz_options_init(&checked);
    }
    if (checked.threads > kMaxThreads) return AAZ_BAD_ARGUMENT;
    settings = PackSettings{};
    settings.threads = checked.threads != 0 ? checked.threads : std::max(1u, std::thread::hardware_concurrency());
    settings.input_size = checked.input_size;
    settings.stats_by_family = checked.family_stats != 0;
    settings.progress = checked.progress;
    settings.progress_self = checked.user;
    settings.chunk_done = checked.chunk_done;
    settings.chunk_done_self = checked.user;
    settings.memory_limit = checked.memory_limit;
    return AAZ_OK;
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
    *info = aaz_info{};
    info->format_version = report.format_version;
    info->original_bytes = report.original_bytes;
    info->packed_bytes = report.packed_bytes;
    info->chunks = report.chunks;
    static_assert(int{METHOD_COUNT} <= int{AAZ_METHODS} && int{FAMILY_COUNT} <= int{AAZ_FAMILIES},
                  "aaz_info is too short");
    for (int m = 0; m < METHOD_COUNT; ++m) {
        info->chunks_by_method[m] = report.chunks_by_method[m];
        info->original_by_method[m] = report.original_by_method[m];
        info->packed_by_method[m] = report.packed_by_method[m];
    }
    info->frames = report.frames;
    info->frames_modelled = report.stats.frames_modelled;
    info->frames_raw = report.stats.frames_raw;
    info->other_bytes = report.stats.other_bytes;
    for (int f = 0; f < FAMILY_COUNT; ++f) info->family_bits[f] = report.stats.bits[f];
    info->sys_errno = report.error;
    copy_text(info->units, sizeof info->units, units);
    copy_text(info->message, sizeof info->message, report.message);
}

void fail_info(int result, aaz_info* info) {
    if (info == nullptr) return;
    *info = aaz_info{};
    copy_text(info->message, sizeof info->message, aaz_strerror(result));
}

int run_pack(PackSettings settings, const ByteSource& in, const ByteSink& out, const RandomReader* whole,
             aaz_info* info) {
    PackReport report;
    const PackResult status = pack_input(in, whole, out, settings, report);
    fill_info(report, report.units.c_str(), info);
    return result_of(status);
}

int run_unpack(PackSettings settings, const ByteSource& in, const ByteSink& out, aaz_info* info) {
    PackReport report;
    const PackResult status = unpack_stream(in, out, settings, report);
    fill_info(report, "", info);
    return result_of(status);
}

ByteSink null_sink() { return ByteSink{nullptr, write_nowhere}; }
