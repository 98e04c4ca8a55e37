// Replays the committed fuzz corpora through the same entry points as the fuzz targets, so
// every saved input (seeds and the reproducers of fixed faults) runs under the sanitizers
// of `make test`.
#include <gtest/gtest.h>

#include <dirent.h>

#include <string>
#include <vector>

#include "support/test_util.h"
#include "targets.h"

namespace {

std::vector<std::string> corpus_files(const std::string& target) {
    std::vector<std::string> files;
    const std::string dir = std::string(AACZ_FUZZ_CORPUS_DIR) + "/" + target;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        }
        closedir(d);
    }
    return files;
}

using Runner = FuzzOutcome (*)(const std::uint8_t*, std::size_t);

template <typename Check>
void replay(const std::string& target, Runner run, Check check) {
    const std::vector<std::string> files = corpus_files(target);
    ASSERT_FALSE(files.empty()) << "no saved inputs for " << target;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const std::string data = read_file(f);
        check(run(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    }
}

// Whatever the data blocks hold, a run that gets to write its output writes whole ADTS
// frames whose length fields tile the file, and ends with status 0 or 1.
void rebuilt_whole_frames(const FuzzOutcome& o) {
    EXPECT_TRUE(o.decompress_status == 0 || o.decompress_status == 1) << o.decompress_status;
    if (o.decompress_status == 0) {
        EXPECT_GE(o.rebuilt_frames, 0) << "the rebuilt file is not a chain of frames";
    }
}

TEST(FuzzReplay, Compress) {
    replay("compress", run_compress, [](const FuzzOutcome& o) {
        if (o.decompress_status < 0) return;
        rebuilt_whole_frames(o);
        // A clean compression is rebuilt frame for frame: the decoder holds back the first
        // frame's samples, so the WAV has one frame fewer than the rebuilt file.
        if (o.compress_status == 0 && o.wav_frames > 0) {
            EXPECT_EQ(o.rebuilt_frames, o.wav_frames + 1);
        }
    });
}
TEST(FuzzReplay, DecompressContainer) { replay("decompress_swp", run_decompress_swp, rebuilt_whole_frames); }
TEST(FuzzReplay, DecompressBinFiles) { replay("decompress_bin", run_decompress_bin, rebuilt_whole_frames); }
TEST(FuzzReplay, DecompressCsvFiles) { replay("decompress_csv", run_decompress_csv, rebuilt_whole_frames); }

}  // namespace
