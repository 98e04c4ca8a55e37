// Whole-file rebuilds of data no real file gives: the tests play the compression side and
// build small ADTS files field by field with their data blocks, then damage them (frames
// too long for ADTS, malformed fields, channel configurations without elements).
#include <gtest/gtest.h>
#include <neaacdec.h>

#include "rebuild/rebuild_test_util.h"
#include "splitter/codebooks.h"
#include "streams/block_files.h"

using namespace rebuild_test;

namespace {

struct Channel {
    int global_gain = 100;
    std::vector<std::pair<int, int>> sections;  // (sect_cb, length in bands)
    std::vector<int> scf;                       // scale-factor codeword index per spectral band
    std::vector<std::int32_t> lines = std::vector<std::int32_t>(1024, 0);
    int max_sfb() const {
        int n = 0;
        for (const auto& s : sections) n += s.second;
        return n;
    }
};

Channel silent(int max_sfb = 0) {
    Channel c;
    if (max_sfb > 0) c.sections = {{0, max_sfb}};
    return c;
}

// Band 0 (4 lines) in codebook 1, band 1 (4 lines) in codebook 11 with escapes.
Channel tone(std::int32_t big = 20) {
    Channel c;
    c.sections = {{1, 1}, {11, 1}};
    c.scf = {60, 61};
    const std::int32_t lines[8] = {1, 0, -1, 0, big, -3, 0, 17};
    for (int k = 0; k < 8; ++k) c.lines[static_cast<std::size_t>(k)] = lines[k];
    return c;
}

struct FileBuilder {
    bool static_mode = false;
    bool first_header = true, first_block = true, first_window_shape = true, fill_values_done = false;
    Bits stream_bits[kStreamCount];
    std::vector<std::int32_t> values[kListCount];
    std::string csv[kListCount];
    std::vector<std::uint8_t> file;  // the original ADTS file
    Bits raw;                        // raw_data_block of the frame being built

    void bits(int s, std::uint32_t v, unsigned w) { stream_bits[s].put(v, w); }
    void value(int l, std::int32_t v) {
        values[l].push_back(v);
        csv[l] += std::to_string(v) + ",";
    }
    void bv(int l, std::uint32_t v, unsigned w) {
        bits(l, v, w);
        value(l, static_cast<std::int32_t>(v));
    }
    void eol(int l) { csv[l] += "\n"; }
    void field(int l, std::uint32_t v, unsigned w) {  // in the frame and on a stream
        raw.put(v, w);
        bv(l, v, w);
    }

    void ics_info(int max_sfb) {
        raw.put(0, 1);
        if (!static_mode) bv(STREAM_ICSI, 0, 1);
        field(STREAM_ICSI, 0, 2);
        raw.put(0, 1);
        if (first_window_shape) bv(STREAM_ICSI, 0, 1);
        field(STREAM_ICSI, static_cast<std::uint32_t>(max_sfb), 6);
        field(STREAM_ICSI, 0, 1);
    }

    void spectral_bits(std::uint32_t v, unsigned w) {
        raw.put(v, w);
        bits(STREAM_QMDCT, v, w);
    }

    void channel_stream(const Channel& c, bool common_window, int list) {
        field(STREAM_GG, static_cast<std::uint32_t>(c.global_gain), 8);
        eol(STREAM_GG);
        if (!common_window) ics_info(c.max_sfb());
        for (const auto& s : c.sections) {
            field(STREAM_SBN, static_cast<std::uint32_t>(s.first), 4);
            int len = s.second;
            for (; len >= 31; len -= 31) field(STREAM_SBN, 31, 5);
            field(STREAM_SBN, static_cast<std::uint32_t>(len), 5);
        }
        eol(STREAM_SBN);
        for (int index : c.scf) {
            const ScaleFactorCodeEntry e = kScaleFactorCode[index];
            for (int i = e.length - 1; i >= 0; --i) field(STREAM_SCF, (e.codeword >> i) & 1u, 1);
        }
        eol(STREAM_SCF);
        raw.put(0, 1);  // pulse_data_present
        if (first_block) bv(STREAM_STC, 0, 1);
        raw.put(0, 1);  // tns_data_present
        if (!static_mode) {
            bv(STREAM_TNS, 0, 1);
            eol(STREAM_TNS);
        }
        raw.put(0, 1);  // gain_control_data_present
        if (first_block) bv(STREAM_STC, 0, 1);
        int band = 0;
        for (const auto& s : c.sections) {
            const int cb = s.first;
            const std::uint16_t* offsets = kSwb_long1024[4].offsets;  // 44.1 kHz long bands
            const int first = offsets[band], end = offsets[band + s.second];
            band += s.second;
            if (cb == 0) continue;
            const int n = static_cast<int>(tuple_size(cb));
            for (int k = first; k < end; k += n) {
                int v[4] = {0, 0, 0, 0};
                for (int i = 0; i < n; ++i) v[i] = c.lines[static_cast<std::size_t>(k + i)];
                const SpectralCodeEntry e = lookup_codeword(cb, tuple_to_index(cb, v));
                spectral_bits(e.codeword, e.length);
                if (!is_unsigned_book(cb)) continue;
                for (int i = 0; i < n; ++i)
                    if (v[i] != 0) spectral_bits(v[i] < 0 ? 1 : 0, 1);
                for (int i = 0; i < n && cb == 11; ++i) {
                    if (std::abs(v[i]) < 16) continue;
                    unsigned length = 0;
                    const std::uint32_t escape = make_escape_code(static_cast<std::uint32_t>(std::abs(v[i])), length);
                    spectral_bits(escape, length);
                }
            }
        }
        for (std::int32_t v : c.lines) value(list, v);
        eol(list);
    }

    void fill_element() {  // an encoder string in an EXT_FILL payload, as the first fill element
        const char text[] = "Zav1";
        raw.put(6, 3);
        bits(STREAM_FAACSTR, 6, 3);
        if (!fill_values_done) value(STREAM_FAACSTR, 6);
        auto put = [&](std::uint32_t v, unsigned w) {
            raw.put(v, w);
            bits(STREAM_FAACSTR, v, w);
            if (!fill_values_done) value(STREAM_FAACSTR, static_cast<std::int32_t>(v));
        };
        put(5, 4);
        put(0, 4);
        put(0, 4);
        for (int i = 0; i < 4; ++i) put(static_cast<std::uint8_t>(text[i]), 8);
        fill_values_done = true;
    }

    void end_frame(int channel_configuration) {
        raw.put(7, 3);
        while (raw.bits % 8 != 0) raw.put(0, 1);
        if (first_block) eol(STREAM_STC);
        eol(STREAM_ICSI);
        if (static_mode) first_block = false;
        const std::uint32_t length = 7 + static_cast<std::uint32_t>(raw.bytes.size());
        Bits header;
        auto h = [&](std::uint32_t v, unsigned w, bool emitted) {
            header.put(v, w);
            if (emitted) bv(STREAM_ADTS, v, w);
        };
        header.put(0xFFF, 12);
        if (!static_mode) {
            bits(STREAM_ADTS, 0xFFF, 12);
            value(STREAM_ADTS, 65535);
        }
        const bool full = !static_mode;
        h(0, 1, first_header);
        h(0, 2, full);
        h(1, 1, full);
        h(1, 2, first_header);  // LC
        h(4, 4, first_header);  // 44100 Hz
        h(0, 1, full);
        h(static_cast<std::uint32_t>(channel_configuration), 3, first_header);
        h(0, 1, full);
        h(0, 1, full);
        h(0, 1, full);
        h(0, 1, full);
        h(length & 0x1FFF, 13, true);
        h(0x7FF, 11, full);
        h(0, 2, full);
        eol(STREAM_ADTS);
        if (static_mode) first_header = false;
        file.insert(file.end(), header.bytes.begin(), header.bytes.end());
        file.insert(file.end(), raw.bytes.begin(), raw.bytes.end());
        raw = Bits{};
    }

    void mono_frame(const Channel& c, bool fill) {
        raw.put(0, 3);
        if (first_block) bv(STREAM_STC, 0, 3);
        raw.put(0, 4);
        if (first_block) bv(STREAM_STC, 0, 4);
        channel_stream(c, false, LIST_QMDCT_0);
        if (static_mode) first_window_shape = false;
        if (first_block) bv(STREAM_STC, fill ? 6 : 7, 3);
        if (fill) fill_element();
        end_frame(1);
    }

    void stereo_frame(const Channel& a, const Channel& b, bool common_window, bool fill) {
        field(STREAM_STC, 1, 3);
        field(STREAM_STC, 0, 4);
        field(STREAM_STC, common_window, 1);
        if (common_window) {
            ics_info(a.max_sfb());
            field(STREAM_STC, 1, 2);  // ms_mask_present 1: one ms_used bit per band
            for (int sfb = 0; sfb < a.max_sfb(); ++sfb) field(STREAM_STC, sfb & 1, 1);
        }
        channel_stream(a, common_window, LIST_QMDCT_0);
        channel_stream(b, common_window, LIST_QMDCT_1);
        bits(STREAM_STC, 7, 3);
        if (fill) fill_element();
        end_frame(2);
    }

    // Writes the data blocks of base: the ".swp" container, or the ".bin" and ".csv" files.
    void write(const std::string& base, bool with_qmdct_bin = true) const {
        std::vector<std::uint8_t> swp;
        for (int l = 0; l < kListCount; ++l) {
            const auto count = static_cast<std::uint32_t>(values[l].size());
            for (int i = 0; i < 4; ++i) swp.push_back(static_cast<std::uint8_t>(count >> (8 * i)));
            for (std::int32_t v : values[l])
                for (int i = 0; i < 4; ++i) swp.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * i)));
            write_text(base + kCsvSuffix[l], csv[l]);
        }
        write_file(base + ".swp", swp);
        for (int s = 0; s < kStreamCount; ++s)
            if (s != STREAM_QMDCT || with_qmdct_bin) write_file(base + kBinSuffix[s], stream_bits[s].bytes);
    }
};

// Each ADTS frame of a file: its offset and the length its header states.
std::vector<std::pair<std::size_t, std::size_t>> adts_frames(const std::vector<std::uint8_t>& file) {
    std::vector<std::pair<std::size_t, std::size_t>> frames;
    std::size_t pos = 0;
    while (pos + 7 <= file.size() && file[pos] == 0xFF && (file[pos + 1] & 0xF0) == 0xF0) {
        const std::size_t length = (static_cast<std::size_t>(file[pos + 3] & 3) << 11) |
                                   (static_cast<std::size_t>(file[pos + 4]) << 3) | (file[pos + 5] >> 5);
        if (length < 7 || pos + length > file.size()) break;
        frames.emplace_back(pos, length);
        pos += length;
    }
    EXPECT_EQ(pos, file.size()) << "the headers' lengths do not add up to the file";
    return frames;
}

// Decodes every frame with libfaad; fails the test on any decoder error.
std::vector<std::int16_t> decode(std::vector<std::uint8_t> file) {
    std::vector<std::int16_t> pcm;
    const auto frames = adts_frames(file);
    if (frames.empty()) {
        ADD_FAILURE() << "no ADTS frame";
        return pcm;
    }
    NeAACDecHandle decoder = NeAACDecOpen();
    unsigned long sample_rate = 0;
    unsigned char channels = 0;
    EXPECT_GE(NeAACDecInit(decoder, file.data(), static_cast<unsigned long>(file.size()), &sample_rate, &channels), 0);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        NeAACDecFrameInfo info;
        auto* samples = static_cast<std::int16_t*>(
            NeAACDecDecode(decoder, &info, file.data() + frames[f].first, static_cast<unsigned long>(frames[f].second)));
        EXPECT_EQ(info.error, 0) << "frame " << f << ": " << NeAACDecGetErrorMessage(info.error);
        // A codeword-path frame may end with zero padding after END, which the decoder
        // leaves unread.
        EXPECT_LE(info.bytesconsumed, frames[f].second) << "frame " << f;
        for (std::size_t i = info.bytesconsumed; i < frames[f].second; ++i)
            EXPECT_EQ(file[frames[f].first + i], 0) << "frame " << f << " byte " << i;
        if (samples != nullptr) pcm.insert(pcm.end(), samples, samples + info.samples);
    }
    NeAACDecClose(decoder);
    return pcm;
}

struct Arrangement {
    const char* name;
    int block_files, read_bin_blocks;
    bool qmdct_bin;
};

const Arrangement kArrangements[] = {
    {".swp container", 0, 1, true},
    {"-m: .bin files, codeword path", 1, 1, true},
};

std::vector<std::uint8_t> rebuild(const FileBuilder& b, const Arrangement& a, const Options& base_options,
                                  std::string& messages_out, int& status) {
    TempDir dir;
    const std::string base = dir.file("song");
    b.write(base, a.qmdct_bin);
    Options options = base_options;
    options.block_files = a.block_files;
    options.read_bin_blocks = a.read_bin_blocks;
    Messages messages;
    status = decompress_file(a.block_files ? base : base + ".swp", options, messages.file);
    messages_out = messages.text();
    return rebuild_test::read_file(base + "_rec.aac");
}

TEST(Decompress, FramesTooLongForAdtsAreLeftOutAndValuesAreClamped) {
    // Escapes of 2^17 take 31 bits each: a stereo frame of such lines exceeds 8191 bytes.
    Channel loud;
    loud.sections = {{11, 49}};
    loud.scf = std::vector<int>(49, 60);
    for (std::int32_t& v : loud.lines) v = 1 << 17;
    FileBuilder b;
    b.stereo_frame(loud, loud, false, false);
    b.stereo_frame(silent(), silent(), false, false);
    struct Row {
        const Arrangement& arrangement;
        std::size_t frames;
        std::string message;
    };
    const Row rows[] = {
        {kArrangements[1], 1, "Frame 1 is left out: it is longer than the largest ADTS frame (8191 bytes).\n"},
        {kArrangements[0], 2, ""},  // the value path clamps to 8191, which fits
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arrangement.name);
        std::string messages;
        int status = -1;
        const std::vector<std::uint8_t> rebuilt = rebuild(b, row.arrangement, Options{}, messages, status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(messages, "\tDecompress AAC audio file\n\n" + row.message);
        decode(rebuilt);  // what is written decodes without error
        EXPECT_EQ(adts_frames(rebuilt).size(), row.frames);
    }
}

TEST(Decompress, MalformedDataStopsTheRunOrLeavesTheFrameOut) {
    struct Row {
        const char* name;
        void (*spoil)(FileBuilder&);
        int status;
        std::string message;
        std::size_t frames;
    };
    const Row rows[] = {
        // A run that stops keeps no output, not even the frame before the stop.
        {"max_sfb beyond the band table", [](FileBuilder& b) { b.values[STREAM_ICSI][3 + 5] = 50; }, 1,
         "\n\tWrong ICSInfo structure! STOP!\n", 0},
        {"a scale factor above 255", [](FileBuilder& b) { b.values[STREAM_GG][1] = 255; }, 0,
         "Frame 2 is left out: a scale factor leaves the range 0..255.\n", 2},
        {"a section reaching band 120", [](FileBuilder& b) { b.values[STREAM_SBN][1] = 31; b.values[STREAM_SBN].insert(b.values[STREAM_SBN].begin() + 2, {31, 31, 31}); },
         0, "Frame 2 is left out: its section data run past band 120 or 120 sections.\n", 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FileBuilder b;
        b.mono_frame(silent(), false);
        b.mono_frame(tone(), false);
        b.mono_frame(silent(), false);
        row.spoil(b);
        std::string messages;
        int status = -1;
        const std::vector<std::uint8_t> rebuilt = rebuild(b, kArrangements[0], Options{}, messages, status);
        EXPECT_EQ(status, row.status);
        EXPECT_EQ(messages, "\tDecompress AAC audio file\n\n" + row.message);
        EXPECT_EQ(adts_frames(rebuilt).size(), row.frames);
    }
}

TEST(Decompress, UnsupportedChannelConfigurationGivesHeaderAndEndFrames) {
    FileBuilder b;
    for (int i = 0; i < 3; ++i) b.mono_frame(silent(), false);
    for (int f = 0; f < 3; ++f) b.values[STREAM_ADTS][static_cast<std::size_t>(15 * f + 7)] = 3;
    std::string messages;
    int status = -1;
    const std::vector<std::uint8_t> rebuilt = rebuild(b, kArrangements[0], Options{}, messages, status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(messages, "\tDecompress AAC audio file\n\nChannel configuration 3 is not supported: frames carry no "
                        "channel elements.\n");
    const auto frames = adts_frames(rebuilt);
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& f : frames) {
        EXPECT_EQ(f.second, 8u);  // header, END, alignment; the header states 8
        EXPECT_EQ(rebuilt[f.first + 7], 0xE0);
    }
}

TEST(Decompress, OpenFailuresKeepAnEarlierOutput) {
    TempDir dir;
    FileBuilder b;
    b.mono_frame(silent(), false);
    b.write(dir.file("song"));
    std::remove(dir.file("song_SCF.csv").c_str());
    std::remove(dir.file("song_SCF.bin").c_str());
    ::write_file(dir.file("song_rec.aac"), "an earlier rebuild");
    struct Row {
        const char* name;
        std::string input;
        int block_files;
        std::string message;
    };
    const Row rows[] = {
        {"missing data block", dir.file("song"), 1, "Couldn't open input file " + dir.file("song") + "_SCF.csv\n"},
        {"output cannot be created", dir.file("nodir/song.swp"), 0,
         "Error: couldn't create " + dir.file("nodir/song_rec.aac") + ": No such file or directory\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Options options;
        options.block_files = row.block_files;
        Messages messages;
        EXPECT_EQ(decompress_file(row.input, options, messages.file, messages.file), 1);
        EXPECT_EQ(messages.text(), "\tDecompress AAC audio file\n\n" + row.message);
        const std::string earlier = "an earlier rebuild";
        EXPECT_EQ(::read_file(dir.file("song_rec.aac")), earlier);
    }
}

}  // namespace
