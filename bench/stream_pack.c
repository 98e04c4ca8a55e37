/* Feeds a file through libaaczavrok's streaming pack (aaz_pack_begin, _update, _finish) in
 * pieces of 64 KiB, with no input-size hint, as a program packing a pipe would, and writes the
 * packed stream: bench/pack_bench.sh measures its peak memory. THREADS is the options' thread
 * count (default 0, the library's choice).
 *   stream_pack IN OUT [THREADS]
 * Build: cc -std=c99 -Iinclude bench/stream_pack.c -Lbuild -laaczavrok */
#include <stdio.h>
#include <stdlib.h>

#include "aaczavrok.h"

enum { PIECE = 64 * 1024 };

static unsigned char in_buf[PIECE], out_buf[PIECE];

/* Writes what the stream handed over; 0 or AAZ_WRITE_FAILED. */
static int put(FILE* out, size_t n) { return fwrite(out_buf, 1, n, out) == n ? AAZ_OK : AAZ_WRITE_FAILED; }

static int pack(aaz_stream* s, FILE* in, FILE* out) {
    size_t got, used, written;
    int r = AAZ_OK;
    while (r == AAZ_OK && (got = fread(in_buf, 1, sizeof in_buf, in)) > 0) {
        size_t at = 0;
        while (r == AAZ_OK && at < got) {
            r = aaz_pack_update(s, in_buf + at, got - at, &used, out_buf, sizeof out_buf, &written);
            at += used;
            if (put(out, written) != AAZ_OK) return AAZ_WRITE_FAILED;
        }
    }
    if (r == AAZ_OK && ferror(in)) return AAZ_READ_FAILED;
    do {
        if (r != AAZ_OK && r != AAZ_MORE_OUTPUT) break;
        r = aaz_pack_finish(s, out_buf, sizeof out_buf, &written);
        if (put(out, written) != AAZ_OK) return AAZ_WRITE_FAILED;
    } while (r == AAZ_MORE_OUTPUT);
    return r;
}

int main(int argc, char** argv) {
    FILE *in, *out;
    aaz_options options;
    aaz_info info;
    aaz_stream* s = NULL;
    int r;
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: stream_pack IN OUT [THREADS]\n");
        return 2;
    }
    in = fopen(argv[1], "rb");
    out = fopen(argv[2], "wb");
    if (in == NULL || out == NULL) {
        fprintf(stderr, "stream_pack: cannot open %s or %s\n", argv[1], argv[2]);
        return 1;
    }
    aaz_options_init(&options);
    aaz_info_init(&info);
    options.threads = argc == 4 ? (unsigned)strtoul(argv[3], NULL, 10) : 0;
    r = aaz_pack_begin(&s, &options);
    if (r == AAZ_OK) r = pack(s, in, out);
    if (r != AAZ_OK && s != NULL && aaz_stream_info(s, &info) == AAZ_OK && info.message[0] != '\0')
        fprintf(stderr, "stream_pack: %s\n", info.message);
    else if (r != AAZ_OK)
        fprintf(stderr, "stream_pack: %s\n", aaz_strerror(r));
    aaz_stream_end(s);
    fclose(in);
    if (fclose(out) != 0 && r == AAZ_OK) r = AAZ_WRITE_FAILED;
    return r == AAZ_OK ? 0 : 1;
}
