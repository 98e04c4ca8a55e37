#include <malloc.h>

#include "frontend/app.h"

int main(int argc, char** argv) {
#ifdef M_MMAP_THRESHOLD
    // Blocks of 128 KiB and more (a chunk's models, buffers and zstd's tables, made and freed by
    // two threads) go straight back to the system when freed. glibc otherwise raises the bound
    // to the largest block freed, after which such blocks stay in each thread's heap, and a
    // packing run's resident memory grows by a third over what it holds at any moment.
    mallopt(M_MMAP_THRESHOLD, 128 << 10);
#endif
    return run_main(argc, argv);
}
