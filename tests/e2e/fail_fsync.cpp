// A test hook preloaded into the program (LD_PRELOAD): from the Nth call on, fsync fails with
// EIO when AACZ_FAIL_FSYNC=N is set, as a disk that fills up or fails shows only when data is
// forced out to it. Built only for the tests.
#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>

extern "C" int fsync(int fd) {
    static int calls = 0;  // a preloaded hook has nothing but its process to keep count in
    const char* fail_from = std::getenv("AACZ_FAIL_FSYNC");
    if (fail_from != nullptr && ++calls >= std::atoi(fail_from)) {
        errno = EIO;
        return -1;
    }
    using Fsync = int (*)(int);
    static const Fsync real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}
