// Packed files kept in the tree, one folder per format version (tools/make_pack_fixtures.sh
// writes them), must unpack to their sources, and each chunk the models coded must code again
// from its bytes to the same payload: every version written since 2 stays readable, and each
// version's models are frozen, so a change of the format or of any generation's models,
// reading or writing, cannot pass unnoticed. A file of the retired version 1 is kept too, and
// must be refused by its version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pack/model/chunk_codec.h"
#include "pack/format/pack_format.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

// Codes each chunk of a packed file that the models coded again from its original bytes, at
// its version, and compares the payloads: as the packer does, frames are tried first without
// being written back, then with. Returns "" or what differs. What the packer chooses (cuts,
// methods) may change from build to build; what a version's models write may not.
std::string recode_chunks(const std::string& packed, const Bytes& original, unsigned version) {
    std::size_t offset = 0;
    for (std::size_t pos = kFileHeaderSize; pos < packed.size() && packed[pos] == kChunkTag;) {
        ChunkRecord r;
        if (!read_chunk_record(reinterpret_cast<const std::uint8_t*>(&packed[pos]), r)) return "a damaged record";
        const auto* payload = reinterpret_cast<const std::uint8_t*>(&packed[pos + kChunkRecordSize]);
        std::size_t payload_size = r.packed_length;
        const std::uint8_t* data = original.data() + offset;
        // a split chunk: the runs' stream (u8 method, u32 length, u32 packed length, bytes),
        // then the payload of units
        const bool split = r.method == METHOD_SPLIT;
        if (split) {
            const std::size_t side = 9 + (payload[5] | payload[6] << 8 | payload[7] << 16 | std::size_t{payload[8]} << 24);
            if (side >= payload_size) return "a split chunk without units";
            payload += side;
            payload_size -= side;
        }
        if (r.method == METHOD_MODEL || r.method == METHOD_UNITS || split) {
            UnitTrace trace;
            Bytes back(r.original_length), again;
            const bool units = r.method != METHOD_MODEL;
            if (decode_chunk(payload, payload_size, back.data(), back.size(), units, &trace, version, split) != PACK_OK)
                return "a chunk that does not decode";
            bool same = false;
            for (const bool check_frames : {false, true}) {
                if (encode_chunk(data, r.original_length, again, nullptr, check_frames, units ? &trace.units : nullptr,
                                 version, split) != PACK_OK)
                    return "a chunk that does not code";
                same = same || (again.size() == payload_size && std::equal(again.begin(), again.end(), payload));
            }
            if (!same) return "the chunk at " + std::to_string(offset) + " codes otherwise";
        }
        offset += r.original_length;
        pos += kChunkRecordSize + r.packed_length;
    }
    return "";
}

TEST(PackFixtures, EveryVersionSinceTwoUnpacksToItsSources) {
    for (unsigned version = kOldestReadableVersion; version <= kPackFormatVersion; ++version) {
        const std::string dir = test_data("packed-v" + std::to_string(version));
        const std::vector<std::string> names = names_in(dir, true);
        ASSERT_GE(names.size(), 2u) << "fixtures of version " << version << " missing: run tools/make_pack_fixtures.sh";
        for (const std::string& name : names) {
            SCOPED_TRACE(name);
            const std::string packed = read_file(dir + "/" + name);
            ASSERT_GT(packed.size(), 16u);
            ASSERT_EQ(static_cast<unsigned>(packed[8]), version) << "a fixture of another version";
            std::string source;
            for (const char* folder : {"", "mp4/", "flv/", "mkv/", "ts/", "loas/", "streams/", "crafted/", "video/"})
                if (source.empty()) source = read_file(test_data(folder + name.substr(0, name.size() - 4)));
            ASSERT_FALSE(source.empty());
            Bytes out;
            PackReport report;
            ASSERT_EQ(unpack_bytes(bytes_of(packed), out, PackSettings{}, report), PACK_OK) << report.message;
            EXPECT_TRUE(std::string(out.begin(), out.end()) == source);
            EXPECT_EQ(report.format_version, version);
            EXPECT_EQ(recode_chunks(packed, out, version), "");
        }
    }
}

// Format version 1 coded spectral magnitudes differently; its files are refused by name
// rather than unpacked into something else.
TEST(PackFixtures, RetiredVersionIsRefusedByName) {
    const std::string dir = test_data("packed-v1");
    const std::vector<std::string> names = names_in(dir, true);
    ASSERT_EQ(names.size(), 1u);
    const std::string packed = read_file(dir + "/" + names[0]);
    ASSERT_GT(packed.size(), 16u);
    ASSERT_EQ(packed[8], 1) << "not a version 1 file";
    ASSERT_NE(kPackFormatVersion, 1);
    Bytes out;
    PackReport report;
    EXPECT_EQ(unpack_bytes(bytes_of(packed), out, PackSettings{}, report), PACK_UNSUPPORTED_VERSION);
    EXPECT_EQ(report.message, "format version 1 is not supported by this version of aaczavrok (it reads format versions 2 to " +
                                  std::to_string(kPackFormatVersion) + ")");
    EXPECT_TRUE(out.empty());
}

}  // namespace
