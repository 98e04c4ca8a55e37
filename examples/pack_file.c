/* Packs a file and unpacks the result through libaaczavrok's streaming calls, holding
 * neither file in memory: pieces of 64 KiB go in and out.
 *   pack_file INPUT PACKED UNPACKED
 * Build: cc -std=c99 pack_file.c $(pkg-config --cflags --libs aaczavrok) */
#define _POSIX_C_SOURCE 200809L
#include <aaczavrok.h>
#include <stdio.h>
#include <sys/stat.h>

enum { PIECE = 64 * 1024 };

typedef int (*update_fn)(aaz_stream*, const void*, size_t, size_t*, void*, size_t, size_t*);
typedef int (*finish_fn)(aaz_stream*, void*, size_t, size_t*);

/* Feeds `in` to the stream and writes what comes out to `out`. */
static int run(aaz_stream* s, update_fn update, finish_fn finish, FILE* in, FILE* out) {
    static unsigned char inbuf[PIECE], outbuf[PIECE];
    size_t got, used, written;
    int r = AAZ_OK;
    while (r == AAZ_OK && (got = fread(inbuf, 1, sizeof inbuf, in)) > 0) {
        size_t at = 0;
        while (r == AAZ_OK && at < got) {
            r = update(s, inbuf + at, got - at, &used, outbuf, sizeof outbuf, &written);
            at += used;
            if (fwrite(outbuf, 1, written, out) != written) return AAZ_WRITE_FAILED;
        }
    }
    if (r == AAZ_OK && ferror(in)) return AAZ_READ_FAILED;
    do {
        if (r != AAZ_OK && r != AAZ_MORE_OUTPUT) break;
        r = finish(s, outbuf, sizeof outbuf, &written);
        if (fwrite(outbuf, 1, written, out) != written) return AAZ_WRITE_FAILED;
    } while (r == AAZ_MORE_OUTPUT);
    return r;
}

static int convert(int packing, const char* from, const char* to) {
    FILE* in = fopen(from, "rb");
    FILE* out = fopen(to, "wb");
    aaz_options options;
    aaz_stream* s = NULL;
    aaz_info info;
    struct stat st;
    int r, have;
    if (in == NULL || out == NULL) {
        fprintf(stderr, "cannot open %s or %s\n", from, to);
        return 1;
    }
    aaz_options_init(&options);
    aaz_info_init(&info);
    /* A file's length lets the stream be packed exactly as the program packs the file. */
    if (packing && stat(from, &st) == 0) options.input_size = (uint64_t)st.st_size;
    r = packing ? aaz_pack_begin(&s, &options) : aaz_unpack_begin(&s, &options);
    if (r == AAZ_OK)
        r = packing ? run(s, aaz_pack_update, aaz_pack_finish, in, out)
                    : run(s, aaz_unpack_update, aaz_unpack_finish, in, out);
    have = s != NULL && aaz_stream_info(s, &info) == AAZ_OK;
    if (have && r == AAZ_OK)
        printf("%s -> %s: %llu -> %llu bytes\n", from, to,
               (unsigned long long)(packing ? info.original_bytes : info.packed_bytes),
               (unsigned long long)(packing ? info.packed_bytes : info.original_bytes));
    else if (have && info.message[0] != '\0')
        fprintf(stderr, "%s: %s\n", from, info.message);
    else
        fprintf(stderr, "%s: %s\n", from, aaz_strerror(r));
    aaz_stream_end(s);
    fclose(in);
    if (fclose(out) != 0 && r == AAZ_OK) r = AAZ_WRITE_FAILED;
    return r == AAZ_OK ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s INPUT PACKED UNPACKED (libaaczavrok %s)\n", argv[0], aaz_version_string());
        return 2;
    }
    if (convert(1, argv[1], argv[2]) != 0) return 1;
    return convert(0, argv[2], argv[3]);
}
