// Layout of a packed file: a file header, independent chunk records, an end record. Every field
// is little-endian and of fixed width, read and written byte by byte so the host's byte order
// never matters. The README's "Packed form" table describes the same layout.
//
//   file header (16)   magic (8), format version u16, flags u16 (0), header check u32
//   chunk record (24)  tag 'C', method u8, reserved u16 (0; from version 10 bit 0: the chunk
//                      reaches back, bit 1: the bytes from it on are kept), original length u32,
//                      packed length u32, XXH3-64 of the original bytes u64, record check u32;
//                      then the packed bytes
//   end record (36)    tag 'E', reserved 3 bytes and u32 (0), whole length u64,
//                      chunk count u64, XXH3-64 of the whole original u64, record check u32
//
// A record check is the low 32 bits of XXH3-64 over the record's bytes before it, so damage to
// a length is caught before the length is trusted. The field tables below are the one place
// that says where each field lies: the writer, the reader and the tests all go through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

constexpr std::uint8_t kPackMagic[8] = {0x89, 'A', 'A', 'Z', '\r', '\n', 0x1A, '\n'};
// The version this build writes, and the oldest it still reads. Every version since 2 stays
// readable: a later version only adds what an earlier one did not have (version 3 added the
// method of units, for containers and streams without frame headers). Version 4 changed the
// models of the chunk codec's payloads: its chunks start from a trained state, and the payloads
// of versions 2 and 3 are decoded by those versions' models. Version 5 added the method of
// transport stream packets, its payloads coded by version 4's models. Version 6 added the
// split method: a chunk of units whose container runs (another track's samples) travel
// beside the units' payload as a stream of their own. Version 7 added the method of LOAS
// streams: their frames' headers and their payloads apart, the payloads coded as ADTS frames.
// Version 8 added LZMA2 for small chunks and side streams of structured bytes (indexes), and
// the byte model for side streams (another track's samples that zstd barely shrinks).
// Version 9 added the gap memory of payloads of units (the layout between two units as the one
// before), and to transport stream chunks PES lengths predicted from the packet before and
// stuffing kept as one byte. Version 10 added chunks that reach back: a zstd frame made with
// the original bytes before its chunk (up to kReachBackBytes) as its prefix, so that what repeats
// further apart than a chunk is found as a whole-file compressor finds it. Version 11 added
// tables of places to payloads of units: an index's chunk offsets and a video track's sample
// sizes derived from where the stretches of access units before them lie.
constexpr std::uint16_t kPackFormatVersion = 11;
constexpr std::uint16_t kOldestReadableVersion = 2;

constexpr std::size_t kFileHeaderSize = 16;
constexpr std::size_t kChunkRecordSize = 24;
constexpr std::size_t kEndRecordSize = 36;
constexpr std::uint8_t kChunkTag = 'C';
constexpr std::uint8_t kEndTag = 'E';

// Largest original length a chunk may have in this format. The packer cuts smaller chunks
// (kPackChunkCap); the difference leaves room for a later packer without a new version, while
// an unpacker's memory stays bounded for any file, damaged or not.
constexpr std::uint32_t kMaxChunkOriginal = 4u << 20;

// From version 10, two bits of a chunk record's reserved field. kChunkKeeps: the original bytes
// from this chunk on are kept (the last kReachBackBytes of them) for later chunks to reach back
// into; the first chunk that says so starts it. kChunkReachesBack: the chunk's zstd frame
// (METHOD_ZSTD, or the runs of METHOD_SPLIT carried by zstd) was made with the bytes kept before
// it as its prefix; zstd's window for such a frame is as long, so no match reaches past them.
constexpr std::uint16_t kChunkReachesBack = 1;
constexpr std::uint16_t kChunkKeeps = 2;
constexpr std::uint32_t kReachBackBytes = 8u << 20;
constexpr int kReachBackWindowLog = 23;
static_assert(std::uint32_t{1} << kReachBackWindowLog == kReachBackBytes, "the window a reaching chunk needs");

enum ChunkMethod : std::uint8_t {
    METHOD_STORED = 0,  // the original bytes; packed length equals original length
    METHOD_ZSTD = 1,    // one zstd frame; packed length below original length
    METHOD_MODEL = 2,   // the chunk codec's payload; packed length below original length
    METHOD_UNITS = 3,   // the chunk codec's payload of a container's bytes and access units (version 3)
    METHOD_TS = 4,      // transport stream packets: their container stream and ADTS stream apart (version 5)
    METHOD_SPLIT = 5,   // a chunk of units with its container runs as a stream of their own (version 6)
    METHOD_LOAS = 6,    // a LOAS stream: its frames' headers and their payloads apart (version 7)
    METHOD_LZMA = 7,    // one raw LZMA2 stream of at most kLzmaMaxInput bytes (version 8)
    METHOD_COUNT
};
// Whether a format version's payloads of units may hold length fields (UNIT_FIELD), and its
// transport stream chunks hold the fields of their container stream that follow from what
// came before as differences from them.
constexpr bool has_length_fields(unsigned version) { return version >= 6; }
// Whether a format version's payloads of units name each access unit's track.
constexpr bool has_unit_tracks(unsigned version) { return version >= 7; }
// Whether a format version's side streams (the container stream of transport stream packets or
// of LOAS frames, the runs of the split method) may be carried by LZMA2 or the byte model
// besides zstd, and its chunks by LZMA2.
constexpr bool has_more_side_methods(unsigned version) { return version >= 8; }
// Whether a split chunk keeps its short runs (headers between units) in the units' payload.
constexpr bool keeps_short_runs(unsigned version) { return version >= 8; }
// Whether a transport stream chunk carries the bodies of other packets as a side stream of
// their own, apart from the packets' headers.
constexpr bool has_ts_bodies(unsigned version) { return version >= 8; }
// Whether a format version's payloads of units code what lies between two access units (runs,
// tables, fields) as the same as between the two before, where it is, and a change of track
// context as a return to the one before the last.
constexpr bool has_gap_memory(unsigned version) { return version >= 9; }
// Whether a transport stream chunk predicts a PES packet's length from the frames of the one
// before and keeps a PES packet's stuffing as one byte (TsLayout::pes_frames).
constexpr bool has_pes_frames(unsigned version) { return version >= 9; }
// Whether a format version's chunks may keep and reach back (kChunkKeeps, kChunkReachesBack).
constexpr bool has_reach_back(unsigned version) { return version >= 10; }
// Whether a format version's payloads of units may hold tables of places (UNIT_PLACES).
constexpr bool has_place_tables(unsigned version) { return version >= 11; }

// Whether a method's payload is one of units, whose access units count in the numbering the
// derived size tables refer to.
constexpr bool codes_units(unsigned method) { return method == METHOD_UNITS || method == METHOD_SPLIT; }

// "stored", "zstd", "model", "units", "ts", "split", "loas", "lzma": the name a listing gives a method; null
// past METHOD_COUNT.
const char* method_name(unsigned method);

// Where a field lies in its record.
struct RecordField {
    std::uint8_t offset;
    std::uint8_t size;
};

struct FileHeaderLayout {
    RecordField magic, version, flags, check;
};
struct ChunkRecordLayout {
    RecordField tag, method, reserved, original_length, packed_length, checksum, check;
};
struct EndRecordLayout {
    RecordField tag, reserved, whole_length, chunk_count, whole_checksum, check;
};

constexpr FileHeaderLayout kFileHeaderFields{{0, 8}, {8, 2}, {10, 2}, {12, 4}};
constexpr ChunkRecordLayout kChunkFields{{0, 1}, {1, 1}, {2, 2}, {4, 4}, {8, 4}, {12, 8}, {20, 4}};
constexpr EndRecordLayout kEndFields{{0, 1}, {1, 7}, {8, 8}, {16, 8}, {24, 8}, {32, 4}};

// Each record's fields follow one another without a gap, and its check ends it.
constexpr bool fields_tile(std::initializer_list<RecordField> fields, std::size_t record_size) {
    std::size_t at = 0;
    for (const RecordField& f : fields) {
        if (f.offset != at) return false;
        at += f.size;
    }
    return at == record_size;
}
static_assert(fields_tile({kFileHeaderFields.magic, kFileHeaderFields.version, kFileHeaderFields.flags,
                           kFileHeaderFields.check},
                          kFileHeaderSize));
static_assert(fields_tile({kChunkFields.tag, kChunkFields.method, kChunkFields.reserved, kChunkFields.original_length,
                           kChunkFields.packed_length, kChunkFields.checksum, kChunkFields.check},
                          kChunkRecordSize));
static_assert(fields_tile({kEndFields.tag, kEndFields.reserved, kEndFields.whole_length, kEndFields.chunk_count,
                           kEndFields.whole_checksum, kEndFields.check},
                          kEndRecordSize));

inline void put_le(std::uint8_t* p, std::uint64_t v, unsigned bytes) {
    for (unsigned i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline std::uint64_t get_le(const std::uint8_t* p, unsigned bytes) {
    std::uint64_t v = 0;
    for (unsigned i = bytes; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

inline std::uint64_t get_field(const std::uint8_t* record, RecordField f) { return get_le(record + f.offset, f.size); }
inline void put_field(std::uint8_t* record, RecordField f, std::uint64_t v) { put_le(record + f.offset, v, f.size); }

// The records' values. Writing fills in the tag (or magic) and the check; reading takes the
// values as they are and says whether the check matches, leaving their bounds to the caller.
struct FileHeader {
    std::uint16_t version = kPackFormatVersion;
    std::uint16_t flags = 0;
};
struct ChunkRecord {
    std::uint8_t method = METHOD_STORED;
    std::uint16_t reserved = 0;
    std::uint32_t original_length = 0;
    std::uint32_t packed_length = 0;
    std::uint64_t checksum = 0;  // XXH3-64 of the original bytes
};
struct EndRecord {
    std::uint64_t reserved = 0;
    std::uint64_t whole_length = 0;
    std::uint64_t chunk_count = 0;
    std::uint64_t whole_checksum = 0;  // XXH3-64 of the whole original
};

// Each writes or reads a whole record of its size at the pointer.
void write_file_header(const FileHeader& h, std::uint8_t* out);
void write_chunk_record(const ChunkRecord& r, std::uint8_t* out);
void write_end_record(const EndRecord& r, std::uint8_t* out);
// True when the record check matches; the values are filled in either way.
bool read_file_header(const std::uint8_t* in, FileHeader& h);
bool read_chunk_record(const std::uint8_t* in, ChunkRecord& r);
bool read_end_record(const std::uint8_t* in, EndRecord& r);

// What is wrong with a chunk record of a file of the given format version whose check matched
// ("unknown method 4", "reserved field is not zero", a length out of its bounds), or an empty
// string when nothing is.
std::string chunk_record_problem(const ChunkRecord& r, unsigned version = kPackFormatVersion);

// The methods a format version knows.
constexpr unsigned methods_of_version(unsigned version) {
    return version >= 8   ? METHOD_COUNT
           : version >= 7 ? METHOD_LZMA
           : version >= 6 ? METHOD_LOAS
           : version >= 5 ? METHOD_SPLIT
           : version >= 3 ? METHOD_TS
                          : METHOD_UNITS;
}

// True when data starts with the packed-file magic number.
bool has_pack_magic(const std::uint8_t* data, std::size_t size);
