/* libaaczavrok: the packed form of AAC files (an exact, smaller copy) as a C library.
 *
 * Every call returns an aaz_result code (AAZ_OK is 0) and checks its arguments first; none
 * keeps global state, so contexts on different threads share nothing. Packing gives the same
 * bytes as the aaczavrok program, whatever the thread count and however the input is cut.
 *
 *   one-shot   aaz_pack, aaz_unpack, aaz_pack_bound, aaz_unpacked_size, aaz_test
 *   callbacks  aaz_pack_io, aaz_unpack_io: the library pulls input and pushes output
 *   streaming  aaz_pack_begin / aaz_unpack_begin / aaz_test_begin, then *_update with pieces
 *              of any size, *_finish, aaz_stream_info, aaz_stream_end
 *   probes     aaz_is_packed, aaz_needs_whole_input, aaz_method_name
 *
 * The records a caller allocates (aaz_options, aaz_info) start with their own size, which
 * aaz_options_init and aaz_info_init set from the caller's compiler. Later versions of this
 * library add fields at their ends only, so a program built against an older header keeps
 * working: the library reads only the first `size` bytes of an options record (the fields
 * past them take their defaults) and writes only the first `size` bytes of an info record.
 * A record whose size is 0, or too small to hold the fields of version 2.0, is refused with
 * AAZ_BAD_ARGUMENT, and an info record is then left as it was. A larger record, from a
 * program built against a later header, is taken while the options this library does not
 * know are left unset (else AAZ_BAD_ARGUMENT); such fields of an info record come back zero.
 */
#ifndef AACZAVROK_H
#define AACZAVROK_H

#include <stddef.h>
#include <stdint.h>

#if defined(AAZ_BUILDING_LIBRARY) && defined(__GNUC__)
#define AAZ_API __attribute__((visibility("default")))
#else
#define AAZ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define AAZ_VERSION_MAJOR 2
#define AAZ_VERSION_MINOR 0
#define AAZ_VERSION_PATCH 0
#define AAZ_VERSION_NUMBER (AAZ_VERSION_MAJOR * 10000 + AAZ_VERSION_MINOR * 100 + AAZ_VERSION_PATCH)
#define AAZ_STRINGIFY_(x) #x
#define AAZ_STRINGIFY(x) AAZ_STRINGIFY_(x)
#define AAZ_VERSION_STRING \
    AAZ_STRINGIFY(AAZ_VERSION_MAJOR) "." AAZ_STRINGIFY(AAZ_VERSION_MINOR) "." AAZ_STRINGIFY(AAZ_VERSION_PATCH)

/* The packed-file magic number's length: the bytes aaz_is_packed needs to say yes. */
#define AAZ_MAGIC_SIZE 8
/* The first bytes of an input that aaz_needs_whole_input looks at. */
#define AAZ_PROBE_SIZE 65536

typedef enum aaz_result {
    AAZ_OK = 0,
    AAZ_MORE_OUTPUT = 1,          /* not an error: *_finish has more output to hand over */
    AAZ_READ_FAILED = 2,          /* the input could not be read (info.sys_errno) */
    AAZ_WRITE_FAILED = 3,         /* the output could not be written (info.sys_errno) */
    AAZ_NOT_PACKED = 4,           /* no packed-file magic number at the start */
    AAZ_UNSUPPORTED_VERSION = 5,  /* a format version this library does not read */
    AAZ_DAMAGED = 6,              /* truncated, a bad length, a checksum mismatch */
    AAZ_VERIFY_FAILED = 7,        /* a packed chunk did not decode back to its input (a bug) */
    AAZ_NULL_ARGUMENT = 8,        /* a pointer that must be given is null */
    AAZ_BAD_ARGUMENT = 9,         /* a size or option out of range, or not a context */
    AAZ_WRONG_DIRECTION = 10,     /* a packing context given to an unpacking call, or the reverse */
    AAZ_STREAM_FAILED = 11,       /* the context stopped at an earlier error or was finished */
    AAZ_OUTPUT_TOO_SMALL = 12,    /* the one-shot output buffer cannot hold the result */
    AAZ_MEMORY_LIMIT = 13,        /* unpacking would need more memory than the limit allows */
    AAZ_NO_MEMORY = 14,           /* memory, a thread or a temporary file could not be had */
    AAZ_ALREADY_PACKED = 15,      /* refuse_packed: the input is a packed file; nothing was written */
    AAZ_BUILD_FAULT = 16,         /* this build's models cannot start: it neither packs nor unpacks */
    AAZ_RESULT_COUNT
} aaz_result;

/* How a chunk is carried (aaz_info's per-method arrays are indexed by these). */
enum { AAZ_METHOD_STORED = 0, AAZ_METHOD_ZSTD = 1, AAZ_METHOD_MODEL = 2, AAZ_METHOD_UNITS = 3, AAZ_METHOD_TS = 4,
       AAZ_METHOD_SPLIT = 5, AAZ_METHOD_LOAS = 6, AAZ_METHOD_LZMA = 7, AAZ_METHODS = 8 };
enum { AAZ_FAMILIES = 16 };

typedef struct aaz_options {
    size_t size;               /* the record's size: aaz_options_init sets it */
    /* Coding threads; 0: one per core, at most two, which keeps a run within 64 MiB on any
     * input (each thread takes 8 to 12 MiB more; the packed bytes never depend on the count). */
    unsigned threads;
    uint64_t memory_limit;     /* unpacking: bytes the chunks in flight may take; 0: no limit */
    /* The input's whole length when known, else 0. Packing a stream cuts its chunks by it,
     * and both directions hand it to progress. */
    uint64_t input_size;
    int family_stats;          /* packing: count the coded bits of each field family */
    /* Packing: an input that starts with the packed-file magic number is not packed again;
     * the call returns AAZ_ALREADY_PACKED having written nothing. */
    int refuse_packed;
    /* Optional: after each chunk, the input bytes consumed so far and the input's whole
     * length when known (input_size, or the length of a stream kept whole), else 0. */
    void (*progress)(void* user, uint64_t bytes_in, uint64_t bytes_total);
    /* Optional, unpacking: each chunk in file order, its method and lengths. */
    void (*chunk_done)(void* user, unsigned method, uint64_t original, uint64_t packed);
    void* user;
} aaz_options;

/* What a run found: sizes, chunks, and why it stopped when it failed. */
typedef struct aaz_info {
    size_t size;               /* the record's size: aaz_info_init sets it */
    unsigned format_version;
    uint64_t original_bytes;
    uint64_t packed_bytes;
    uint64_t chunks;
    uint64_t chunks_by_method[AAZ_METHODS];
    uint64_t original_by_method[AAZ_METHODS];
    uint64_t packed_by_method[AAZ_METHODS];
    uint64_t frames;           /* packing: ADTS frames found */
    uint64_t frames_modelled;  /* packing: frames coded field by field */
    uint64_t frames_raw;       /* packing: frames kept as raw bytes */
    uint64_t other_bytes;      /* packing: bytes outside frames */
    uint64_t family_bits[AAZ_FAMILIES]; /* packing with family_stats */
    int sys_errno;             /* of AAZ_READ_FAILED or AAZ_WRITE_FAILED; 0 for a read callback
                                * that returned more bytes than it was asked for */
    char units[160];           /* packing: the container or stream whose access units were coded, or "" */
    char message[256];         /* what went wrong, in the program's words; "" on success */
} aaz_info;

typedef struct aaz_stream aaz_stream;

/* Reads up to n bytes: the count, 0 at the end of the input, or -errno. A count above n
 * ends the call with AAZ_READ_FAILED. */
typedef long long (*aaz_read_fn)(void* self, uint8_t* buf, size_t n);
/* Writes all n bytes: 0 or an errno value. */
typedef int (*aaz_write_fn)(void* self, const uint8_t* data, size_t n);
/* Reads up to n bytes at an offset of a seekable input: the count, 0 past its end, or -errno. */
typedef long long (*aaz_read_at_fn)(void* self, uint64_t offset, uint8_t* buf, size_t n);

typedef struct aaz_io {
    aaz_read_fn read;
    void* read_self;
    aaz_write_fn write; /* null for testing: the output is checked and dropped */
    void* write_self;
    /* Packing, optional: the same input read at offsets, of length size. Containers, ADIF and
     * headerless streams are then coded unit by unit, as the program codes a file. Without it,
     * an input that aaz_needs_whole_input names is read to its end and kept (in memory up to
     * 4 MiB, then in an unnamed temporary file in TMPDIR, else /tmp) before it is packed, as
     * the program packs a pipe. */
    aaz_read_at_fn read_at;
    void* read_at_self;
    uint64_t size;
} aaz_io;

/* AAZ_VERSION_STRING of the library's own build. */
AAZ_API const char* aaz_version_string(void);
AAZ_API unsigned aaz_version_number(void);
/* The packed-form version written; older ones from aaz_oldest_format_version() on are read. */
AAZ_API unsigned aaz_format_version(void);
AAZ_API unsigned aaz_oldest_format_version(void);
AAZ_API const char* aaz_strerror(int result);

/* Give each record its defaults and the size the caller's compiler gives it; the macros are
 * the way to call them. AAZ_NULL_ARGUMENT, or AAZ_BAD_ARGUMENT for a size too small (and the
 * record left alone). */
AAZ_API int aaz_options_init_sized(aaz_options* options, size_t size);
AAZ_API int aaz_info_init_sized(aaz_info* info, size_t size);
#define aaz_options_init(options) aaz_options_init_sized((options), sizeof *(options))
#define aaz_info_init(info) aaz_info_init_sized((info), sizeof *(info))

/* 1 when head[0..n) starts with the packed-file magic number (AAZ_MAGIC_SIZE bytes), else 0. */
AAZ_API int aaz_is_packed(const void* head, size_t n);
/* 1 when packing an input that starts with head[0..n) (up to AAZ_PROBE_SIZE bytes, or all of
 * a shorter input) reads all of it before writing anything, so that without read_at it is
 * kept whole first: an ISO media file (MP4, M4A, MOV, 3GP) or ADIF, whose index may follow
 * its media, or FLV or Matroska; given its input_size (not 0), also anything that does not
 * start like ADTS, which may be a headerless stream. Else 0. */
AAZ_API int aaz_needs_whole_input(const void* head, size_t n, uint64_t input_size);
/* The name of a chunk method (AAZ_METHOD_STORED "stored", ...), or NULL for a number that
 * names none. */
AAZ_API const char* aaz_method_name(unsigned method);

/* The largest packed size of n input bytes, whatever they hold: n + n/1000 + 1024. */
AAZ_API uint64_t aaz_pack_bound(uint64_t n);
/* The unpacked length a packed buffer's end record names (checked, not trusted further). */
AAZ_API int aaz_unpacked_size(const void* src, size_t src_size, uint64_t* size);

/* options may be null for the defaults; info may be null where not wanted. */
AAZ_API int aaz_pack(const aaz_options* options, const void* src, size_t src_size, void* dst, size_t dst_capacity,
                     size_t* dst_size, aaz_info* info);
AAZ_API int aaz_unpack(const aaz_options* options, const void* src, size_t src_size, void* dst, size_t dst_capacity,
                       size_t* dst_size, aaz_info* info);
/* Checks every checksum of a packed buffer and describes it, producing nothing. */
AAZ_API int aaz_test(const aaz_options* options, const void* src, size_t src_size, aaz_info* info);

AAZ_API int aaz_pack_io(const aaz_options* options, const aaz_io* io, aaz_info* info);
AAZ_API int aaz_unpack_io(const aaz_options* options, const aaz_io* io, aaz_info* info);

/* Streaming. *_update takes what it can of the input (*in_used) and hands over what output is
 * ready (*out_written); it waits only while neither can move and the context is busy, so a
 * caller loops until the input is used. *_finish ends the input and hands over the rest:
 * AAZ_MORE_OUTPUT asks for another call with room. Memory stays bounded whatever the pieces. */
AAZ_API int aaz_pack_begin(aaz_stream** stream, const aaz_options* options);
AAZ_API int aaz_pack_update(aaz_stream* stream, const void* in, size_t in_size, size_t* in_used, void* out,
                            size_t out_capacity, size_t* out_written);
AAZ_API int aaz_pack_finish(aaz_stream* stream, void* out, size_t out_capacity, size_t* out_written);

AAZ_API int aaz_unpack_begin(aaz_stream** stream, const aaz_options* options);
AAZ_API int aaz_unpack_update(aaz_stream* stream, const void* in, size_t in_size, size_t* in_used, void* out,
                              size_t out_capacity, size_t* out_written);
AAZ_API int aaz_unpack_finish(aaz_stream* stream, void* out, size_t out_capacity, size_t* out_written);

/* Testing and describing a packed stream without output. */
AAZ_API int aaz_test_begin(aaz_stream** stream, const aaz_options* options);
AAZ_API int aaz_test_update(aaz_stream* stream, const void* in, size_t in_size, size_t* in_used);
AAZ_API int aaz_test_finish(aaz_stream* stream);

/* What the context has found so far (whole once finished). */
AAZ_API int aaz_stream_info(const aaz_stream* stream, aaz_info* info);
/* Stops the context's work if still running and frees it; null is allowed. */
AAZ_API void aaz_stream_end(aaz_stream* stream);

#ifdef __cplusplus
}
#endif

#endif
