// Replays the committed fuzz corpora through the same entry points as the fuzz targets, so
// every saved input (seeds and the reproducers of fixed faults) runs under the sanitizers
// of `make test`.
#include <gtest/gtest.h>

#include <string>

#include "support/test_util.h"
#include "targets.h"

namespace {

// Runs every saved input of `target` and hands what `run` returns to `check`.
template <typename Run, typename Check>
void replay(const std::string& target, Run run, Check check) {
    const std::string dir = std::string(AACZ_FUZZ_CORPUS_DIR) + "/" + target;
    const std::vector<std::string> files = names_in(dir, true);
    ASSERT_FALSE(files.empty()) << "no saved inputs for " << target;
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        const std::string data = read_file(dir + "/" + f);
        check(run(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    }
}

// Whatever the data blocks hold, a run that gets to write its output writes whole ADTS
// frames whose length fields tile the file, and ends with status 0 or 1.
void rebuilt_whole_frames(const FuzzOutcome& o) {
    EXPECT_TRUE(o.decompress_status == 0 || o.decompress_status == 1) << o.decompress_status;
    EXPECT_TRUE(o.decompress_status != 0 || o.rebuilt_frames >= 0) << "the rebuilt file is not a chain of frames";
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

// The packed form's targets check their own invariant and return 0 when it holds: unpacking
// succeeds only with good checksums, and a pack comes back exactly.
void holds(int result) { EXPECT_EQ(result, 0); }
TEST(PackFuzzReplay, Unpack) { replay("unpack", fuzz_unpack, holds); }
TEST(PackFuzzReplay, PackRoundTrip) { replay("pack_round_trip", fuzz_pack_round_trip, holds); }
TEST(PackFuzzReplay, UnpackStream) { replay("unpack", fuzz_unpack_stream, holds); }

}  // namespace
