/* A program as one built against version 2.0.0 would be: it includes the frozen copy of that
 * version's header and runs on whatever library it is given. It packs a sample and unpacks it
 * through options and info records of 2.0's size, each followed by guard bytes, and checks
 * that the packed bytes are the program's, that the sample comes back, that the info fields
 * it knows are right, and that the library wrote nothing past the records. Prints "ok".
 *   frozen_client SAMPLE PACKED_BY_THE_PROGRAM */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "aaczavrok_2_0.h"

enum { GUARD = 64, GUARD_BYTE = 0xA5 };

struct guarded_options {
    aaz_options o;
    unsigned char guard[GUARD];
};
struct guarded_info {
    aaz_info i;
    unsigned char guard[GUARD];
};

static unsigned char* read_whole(const char* name, size_t* size) {
    FILE* f = fopen(name, "rb");
    unsigned char* data = NULL;
    long n;
    if (f == NULL) return NULL;
    if (fseek(f, 0, SEEK_END) == 0 && (n = ftell(f)) > 0 && fseek(f, 0, SEEK_SET) == 0 &&
        (data = malloc((size_t)n)) != NULL && fread(data, 1, (size_t)n, f) != (size_t)n) {
        free(data);
        data = NULL;
    }
    *size = data != NULL ? (size_t)n : 0;
    fclose(f);
    return data;
}

static int guard_kept(const unsigned char* guard) {
    int i;
    for (i = 0; i < GUARD; ++i)
        if (guard[i] != GUARD_BYTE) return 0;
    return 1;
}

/* The fields of a successful run that 2.0 knows. */
static const char* check_info(const aaz_info* info, size_t original, size_t packed, int packing) {
    uint64_t chunks = 0;
    int m;
    for (m = 0; m < AAZ_METHODS; ++m) chunks += info->chunks_by_method[m];
    if (info->size != sizeof *info) return "the info record's size was changed";
    if (info->original_bytes != original || info->packed_bytes != packed) return "wrong byte counts";
    if (info->chunks == 0 || chunks != info->chunks) return "wrong chunk counts";
    if (info->message[0] != '\0' || info->sys_errno != 0) return "a message on success";
    if (packing && (info->frames_modelled == 0 || strncmp(info->units, "MP4, 1 AAC track", 16) != 0))
        return "the container's units were not coded";
    if (!packing && info->format_version != aaz_format_version()) return "wrong format version";
    return NULL;
}

static const char* run(const unsigned char* in, size_t in_size, const unsigned char* want, size_t want_size) {
    struct guarded_options options;
    static struct guarded_info info; /* static: a failure's message outlives the call */
    size_t bound = (size_t)aaz_pack_bound(in_size), packed_size = 0, back_size = 0;
    unsigned char* packed = malloc(bound);
    unsigned char* back = malloc(in_size);
    const char* problem = NULL;
    memset(&options, GUARD_BYTE, sizeof options);
    memset(&info, GUARD_BYTE, sizeof info);
    if (packed == NULL || back == NULL) {
        problem = "out of memory";
    } else if (aaz_version_number() / 10000 != AAZ_VERSION_MAJOR) {
        problem = "a library of another major version";
    } else if (aaz_options_init(&options.o) != AAZ_OK || aaz_info_init(&info.i) != AAZ_OK) {
        problem = "the records were refused";
    } else if (aaz_pack(&options.o, in, in_size, packed, bound, &packed_size, &info.i) != AAZ_OK) {
        problem = info.i.message;
    } else if (packed_size != want_size || memcmp(packed, want, want_size) != 0) {
        problem = "the packed bytes are not the program's";
    } else if ((problem = check_info(&info.i, in_size, packed_size, 1)) != NULL) {
    } else if (aaz_info_init(&info.i) != AAZ_OK ||
               aaz_unpack(&options.o, packed, packed_size, back, in_size, &back_size, &info.i) != AAZ_OK) {
        problem = info.i.message;
    } else if (back_size != in_size || memcmp(back, in, in_size) != 0) {
        problem = "the sample did not come back";
    } else if ((problem = check_info(&info.i, in_size, packed_size, 0)) != NULL) {
    } else if (!guard_kept(options.guard) || !guard_kept(info.guard)) {
        problem = "the library wrote past a record";
    }
    free(packed);
    free(back);
    return problem;
}

int main(int argc, char** argv) {
    size_t in_size = 0, want_size = 0;
    unsigned char* in = argc == 3 ? read_whole(argv[1], &in_size) : NULL;
    unsigned char* want = argc == 3 ? read_whole(argv[2], &want_size) : NULL;
    const char* problem = in == NULL || want == NULL ? "usage: frozen_client SAMPLE PACKED" : run(in, in_size, want, want_size);
    free(in);
    free(want);
    if (problem != NULL) {
        fprintf(stderr, "frozen_client: %s\n", problem);
        return 1;
    }
    puts("ok");
    return 0;
}
