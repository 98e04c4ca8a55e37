// The records of a packed file, written and read through the field tables of pack_format.h.
#include "pack/format/pack_format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <xxhash.h>

namespace {

std::uint32_t record_check(const std::uint8_t* p, RecordField check) {
    return static_cast<std::uint32_t>(XXH3_64bits(p, check.offset));
}

void seal(std::uint8_t* p, RecordField check) { put_field(p, check, record_check(p, check)); }

bool intact(const std::uint8_t* p, RecordField check) { return get_field(p, check) == record_check(p, check); }

}  // namespace

void write_file_header(const FileHeader& h, std::uint8_t* out) {
    std::memcpy(out + kFileHeaderFields.magic.offset, kPackMagic, sizeof kPackMagic);
    put_field(out, kFileHeaderFields.version, h.version);
    put_field(out, kFileHeaderFields.flags, h.flags);
    seal(out, kFileHeaderFields.check);
}

void write_chunk_record(const ChunkRecord& r, std::uint8_t* out) {
    put_field(out, kChunkFields.tag, kChunkTag);
    put_field(out, kChunkFields.method, r.method);
    put_field(out, kChunkFields.reserved, r.reserved);
    put_field(out, kChunkFields.original_length, r.original_length);
    put_field(out, kChunkFields.packed_length, r.packed_length);
    put_field(out, kChunkFields.checksum, r.checksum);
    seal(out, kChunkFields.check);
}

void write_end_record(const EndRecord& r, std::uint8_t* out) {
    put_field(out, kEndFields.tag, kEndTag);
    put_field(out, kEndFields.reserved, r.reserved);
    put_field(out, kEndFields.whole_length, r.whole_length);
    put_field(out, kEndFields.chunk_count, r.chunk_count);
    put_field(out, kEndFields.whole_checksum, r.whole_checksum);
    seal(out, kEndFields.check);
}

bool read_file_header(const std::uint8_t* in, FileHeader& h) {
    h.version = static_cast<std::uint16_t>(get_field(in, kFileHeaderFields.version));
    h.flags = static_cast<std::uint16_t>(get_field(in, kFileHeaderFields.flags));
    return intact(in, kFileHeaderFields.check);
}

bool read_chunk_record(const std::uint8_t* in, ChunkRecord& r) {
    r.method = static_cast<std::uint8_t>(get_field(in, kChunkFields.method));
    r.reserved = static_cast<std::uint16_t>(get_field(in, kChunkFields.reserved));
    r.original_length = static_cast<std::uint32_t>(get_field(in, kChunkFields.original_length));
    r.packed_length = static_cast<std::uint32_t>(get_field(in, kChunkFields.packed_length));
    r.checksum = get_field(in, kChunkFields.checksum);
    return intact(in, kChunkFields.check);
}

bool read_end_record(const std::uint8_t* in, EndRecord& r) {
    r.reserved = get_field(in, kEndFields.reserved);
    r.whole_length = get_field(in, kEndFields.whole_length);
    r.chunk_count = get_field(in, kEndFields.chunk_count);
    r.whole_checksum = get_field(in, kEndFields.whole_checksum);
    return intact(in, kEndFields.check);
}

std::string chunk_record_problem(const ChunkRecord& r, unsigned version) {
    char text[80];
    if (r.method >= methods_of_version(version)) {
        std::snprintf(text, sizeof text, "unknown method %u", static_cast<unsigned>(r.method));
    } else if (r.reserved != 0 &&
               (!has_reach_back(version) || (r.reserved & ~(kChunkReachesBack | kChunkKeeps)) != 0 ||
                ((r.reserved & kChunkReachesBack) != 0 && r.method != METHOD_ZSTD && r.method != METHOD_SPLIT))) {
        return "reserved field is not zero";
    } else if (r.original_length == 0 || r.original_length > kMaxChunkOriginal) {
        std::snprintf(text, sizeof text, "original length %" PRIu32 " is out of bounds", r.original_length);
    } else if (r.method == METHOD_STORED ? r.packed_length != r.original_length
                                         : r.packed_length == 0 || r.packed_length >= r.original_length) {
        std::snprintf(text, sizeof text, "packed length %" PRIu32 " is out of bounds", r.packed_length);
    } else {
        return {};
    }
    return text;
}

const char* method_name(unsigned method) {
    static constexpr const char* kNames[METHOD_COUNT] = {"stored", "zstd", "model", "units", "ts", "split", "loas", "lzma"};
    return method < METHOD_COUNT ? kNames[method] : nullptr;
}

bool has_pack_magic(const std::uint8_t* data, std::size_t size) {
    return size >= sizeof kPackMagic && std::memcmp(data, kPackMagic, sizeof kPackMagic) == 0;
}
