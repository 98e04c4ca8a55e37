// The C interface's calls on whole buffers and on caller-given callbacks, its versions and
// its texts. Each checks its arguments before anything else and answers with an aaz_result.
#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "aaczavrok.h"
#include "lib/lib_input.h"
#include "lib/lib_run.h"
#include "pack/format/pack_format.h"

namespace {

constexpr const char* kResultTexts[AAZ_RESULT_COUNT] = {
    "success",
    "more output is ready (call again with room for it)",
    "cannot read the input",
    "cannot write the output",
    "not a packed file (no packed-file magic number)",
    "format version is not supported by this version of aaczavrok",
    "file is damaged",
    "internal error: a chunk did not decode back to its input; nothing was kept",
    "a required pointer is null",
    "an argument is out of range",
    "the context works in the other direction",
    "the context stopped at an earlier error or has finished",
    "the output buffer is too small",
    "needs more memory than the limit allows",
    "out of memory, threads or temporary space",
    "already packed (it starts with the packed-file magic number)",
    "build fault: the models cannot start (the library is damaged)",
};

// The caller's output buffer as a sink: a write past its end fails with ENOSPC.
struct BufferSink {
    std::uint8_t* data = nullptr;
    std::size_t capacity = 0;
    std::size_t size = 0;
    bool overflow = false;
};

int write_buffer(void* self, const std::uint8_t* data, std::size_t n) {
    BufferSink& b = *static_cast<BufferSink*>(self);
    if (n > b.capacity - b.size) {
        b.overflow = true;
        return ENOSPC;
    }
    if (n != 0) std::memcpy(b.data + b.size, data, n);
    b.size += n;
    return 0;
}

// A write to a full buffer is not a write failure to the caller: the buffer was too small.
int buffer_result(int result, const BufferSink& sink, aaz_info* info) {
    if (result != AAZ_WRITE_FAILED || !sink.overflow) return result;
    fail_info(AAZ_OUTPUT_TOO_SMALL, info);
    return AAZ_OUTPUT_TOO_SMALL;
}

// The standard library reports a failed allocation or thread start by throwing; nothing
// else in the library throws, and nothing may cross the C interface.
template <class Call>
int guarded(aaz_info* info, Call call) {
    try {
        return call();
    } catch (const std::bad_alloc&) {
    } catch (const std::system_error&) {
    }
    fail_info(AAZ_NO_MEMORY, info);
    return AAZ_NO_MEMORY;
}

// A call refused before it started: info says why.
int refuse(int result, aaz_info* info) {
    fail_info(result, info);
    return result;
}

// The options of a call as the driver's settings, or the call refused.
int call_settings(const aaz_options* options, aaz_options& checked, PackSettings& settings, aaz_info* info) {
    const int r = settings_from_options(options, checked, settings);
    return r == AAZ_OK ? r : refuse(r, info);
}

// The caller's read callbacks, each read checked against what it asked for. The packer passes
// over a failed read at offsets (it then packs the input as it comes), so a count too long is
// also kept here, to end the call with AAZ_READ_FAILED whatever the packer made of it.
struct CallerInput {
    const aaz_io* io = nullptr;
    bool too_long = false;
};

long long read_caller(void* self, std::uint8_t* buf, std::size_t n) {
    CallerInput& c = *static_cast<CallerInput*>(self);
    const long long r = c.io->read(c.io->read_self, buf, n);
    if (r <= 0 || static_cast<unsigned long long>(r) <= n) return r;
    c.too_long = true;
    return kReadTooLong;
}

long long read_caller_at(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    CallerInput& c = *static_cast<CallerInput*>(self);
    const long long r = c.io->read_at(c.io->read_at_self, offset, buf, n);
    if (r <= 0 || static_cast<unsigned long long>(r) <= n) return r;
    c.too_long = true;
    return kReadTooLong;
}

// The result of a call through the caller's callbacks: a read callback that broke its word
// fails the call, whatever else happened.
int caller_result(int result, const CallerInput& input, aaz_info* info) {
    if (!input.too_long) return result;
    PackReport report;
    report.message = read_failure(kReadTooLong);
    fill_info(report, "", info);
    return AAZ_READ_FAILED;
}

}  // namespace

extern "C" {

const char* aaz_version_string(void) { return AAZ_VERSION_STRING; }
unsigned aaz_version_number(void) { return AAZ_VERSION_NUMBER; }
unsigned aaz_format_version(void) { return kPackFormatVersion; }
unsigned aaz_oldest_format_version(void) { return kOldestReadableVersion; }

const char* aaz_strerror(int result) {
    if (result < 0 || result >= AAZ_RESULT_COUNT) return "unknown result code";
    return kResultTexts[result];
}

int aaz_is_packed(const void* head, size_t n) {
    return head != nullptr && has_pack_magic(static_cast<const std::uint8_t*>(head), n) ? 1 : 0;
}

int aaz_needs_whole_input(const void* head, size_t n, uint64_t input_size) {
    if (head == nullptr) return 0;
    return needs_whole_input(static_cast<const std::uint8_t*>(head), std::min<size_t>(n, AAZ_PROBE_SIZE), input_size)
               ? 1
               : 0;
}

const char* aaz_method_name(unsigned method) { return method_name(method); }

// The packer keeps every input within this bound (pack_bound says how).
uint64_t aaz_pack_bound(uint64_t n) { return pack_bound(n); }

int aaz_unpacked_size(const void* src, size_t src_size, uint64_t* size) {
    if (src == nullptr || size == nullptr) return AAZ_NULL_ARGUMENT;
    const auto* p = static_cast<const std::uint8_t*>(src);
    if (!has_pack_magic(p, src_size)) return AAZ_NOT_PACKED;
    if (src_size < kFileHeaderSize + kEndRecordSize) return AAZ_DAMAGED;
    EndRecord end;
    if (p[src_size - kEndRecordSize] != kEndTag || !read_end_record(p + src_size - kEndRecordSize, end))
        return AAZ_DAMAGED;
    *size = end.whole_length;
    return AAZ_OK;
}

int aaz_pack(const aaz_options* options, const void* src, size_t src_size, void* dst, size_t dst_capacity,
             size_t* dst_size, aaz_info* info) {
    if (!info_usable(info)) return AAZ_BAD_ARGUMENT;
    if ((src == nullptr && src_size != 0) || dst == nullptr || dst_size == nullptr)
        return refuse(AAZ_NULL_ARGUMENT, info);
    *dst_size = 0;
    aaz_options checked;
    PackSettings settings;
    if (int r = call_settings(options, checked, settings, info); r != AAZ_OK) return r;
    return guarded(info, [&] {
        MemorySource in{static_cast<const std::uint8_t*>(src), src_size, 0};
        MemorySource whole{in.data, src_size, 0};
        const RandomReader reader{&whole, read_memory_at, src_size};
        settings.input_size = src_size;
        BufferSink sink{static_cast<std::uint8_t*>(dst), dst_capacity, 0, false};
        const int r = run_pack(settings, checked.refuse_packed != 0, memory_source(in), &reader,
                               ByteSink{&sink, write_buffer}, info);
        if (r == AAZ_OK) *dst_size = sink.size;
        return buffer_result(r, sink, info);
    });
}

int aaz_unpack(const aaz_options* options, const void* src, size_t src_size, void* dst, size_t dst_capacity,
               size_t* dst_size, aaz_info* info) {
    if (!info_usable(info)) return AAZ_BAD_ARGUMENT;
    if ((src == nullptr && src_size != 0) || (dst == nullptr && dst_capacity != 0) || dst_size == nullptr)
        return refuse(AAZ_NULL_ARGUMENT, info);
    *dst_size = 0;
    aaz_options checked;
    PackSettings settings;
    if (int r = call_settings(options, checked, settings, info); r != AAZ_OK) return r;
    return guarded(info, [&] {
        MemorySource in{static_cast<const std::uint8_t*>(src), src_size, 0};
        BufferSink sink{static_cast<std::uint8_t*>(dst), dst_capacity, 0, false};
        const int r = run_unpack(settings, memory_source(in), ByteSink{&sink, write_buffer}, info);
        if (r == AAZ_OK) *dst_size = sink.size;
        return buffer_result(r, sink, info);
    });
}

int aaz_test(const aaz_options* options, const void* src, size_t src_size, aaz_info* info) {
    if (!info_usable(info)) return AAZ_BAD_ARGUMENT;
    if (src == nullptr && src_size != 0) return refuse(AAZ_NULL_ARGUMENT, info);
    aaz_options checked;
    PackSettings settings;
    if (int r = call_settings(options, checked, settings, info); r != AAZ_OK) return r;
    return guarded(info, [&] {
        MemorySource in{static_cast<const std::uint8_t*>(src), src_size, 0};
        return run_unpack(settings, memory_source(in), null_sink(), info);
    });
}

int aaz_pack_io(const aaz_options* options, const aaz_io* io, aaz_info* info) {
    if (!info_usable(info)) return AAZ_BAD_ARGUMENT;
    if (io == nullptr || io->read == nullptr || io->write == nullptr) return refuse(AAZ_NULL_ARGUMENT, info);
    aaz_options checked;
    PackSettings settings;
    if (int r = call_settings(options, checked, settings, info); r != AAZ_OK) return r;
    return guarded(info, [&] {
        CallerInput input{io, false};
        const RandomReader reader{&input, read_caller_at, io->size};
        const int r = run_pack(settings, checked.refuse_packed != 0, ByteSource{&input, read_caller},
                               io->read_at != nullptr ? &reader : nullptr, ByteSink{io->write_self, io->write}, info);
        return caller_result(r, input, info);
    });
}

int aaz_unpack_io(const aaz_options* options, const aaz_io* io, aaz_info* info) {
    if (!info_usable(info)) return AAZ_BAD_ARGUMENT;
    if (io == nullptr || io->read == nullptr) return refuse(AAZ_NULL_ARGUMENT, info);
    aaz_options checked;
    PackSettings settings;
    if (int r = call_settings(options, checked, settings, info); r != AAZ_OK) return r;
    return guarded(info, [&] {
        CallerInput input{io, false};
        const ByteSink sink = io->write != nullptr ? ByteSink{io->write_self, io->write} : null_sink();
        return caller_result(run_unpack(settings, ByteSource{&input, read_caller}, sink, info), input, info);
    });
}

}  // extern "C"
