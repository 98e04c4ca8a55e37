// WAV output: headers and size caps, sample layouts, 6-channel reordering, standard output.
#include "frontend/wav_writer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "aacz_" + std::to_string(getpid()) + "_" + name;
}

Bytes read_file(const std::string& path) {
    Bytes b;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) b.push_back(static_cast<std::uint8_t>(c));
        std::fclose(f);
    }
    return b;
}

std::uint32_t le(const Bytes& b, std::size_t at, std::size_t n) {
    std::uint32_t v = 0;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | b.at(at + i);
    return v;
}

template <typename T>
Bytes as_bytes(const std::vector<T>& v) {
    Bytes b(v.size() * sizeof(T));
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

// Writes bare samples (file type 0, no header) and returns the bytes of the output.
Bytes write_bare(std::uint32_t format, void* samples, std::uint64_t count, std::uint64_t offset) {
    const std::string path = temp_path("bare.pcm");
    WavOutput* wav = wav_open(path.c_str(), 8000, 1, format, 0, 0);
    EXPECT_NE(wav, nullptr);
    EXPECT_EQ(wav_write(wav, samples, count, offset), count);
    EXPECT_EQ(wav_close(wav), 0);
    Bytes b = read_file(path);
    std::remove(path.c_str());
    return b;
}

const Bytes kPcmGuid = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

TEST(WavWriter, StereoHeaderCompletedAtClose) {
    const std::string path = temp_path("stereo.wav");
    WavOutput* wav = wav_open(path.c_str(), 44100, 2, 1, 1, 0);
    ASSERT_NE(wav, nullptr);
    std::vector<std::int16_t> frame(2048);
    for (int n = 0; n < 1000; ++n) {
        for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<std::int16_t>(n * 7 + i);
        ASSERT_EQ(wav_write(wav, frame.data(), frame.size(), 0), 2048u);
    }
    EXPECT_EQ(wav->total_samples, 2048000u);
    EXPECT_EQ(wav_close(wav), 0);

    const Bytes b = read_file(path);
    ASSERT_EQ(b.size(), 44u + 4096000u);
    const Bytes header = {'R', 'I', 'F', 'F', 0x24, 0x80, 0x3E, 0x00,  // 4096036
                          'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
                          0x44, 0xAC, 0, 0, 0x10, 0xB1, 0x02, 0,  // 44100, 176400
                          4, 0, 16, 0, 'd', 'a', 't', 'a', 0x00, 0x80, 0x3E, 0x00};  // 4096000
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 44), header);
    // Last sample of the last frame: 999 * 7 + 2047.
    EXPECT_EQ(le(b, b.size() - 2, 2), 999u * 7 + 2047);
    std::remove(path.c_str());
}

TEST(WavWriter, SampleLayoutsPerFormat) {
    const float tiny = std::numeric_limits<float>::denorm_min();
    const struct {
        std::uint32_t format;
        Bytes input;
        std::uint64_t offset;
        Bytes expect;
    } cases[] = {
        {1, as_bytes<std::int16_t>({-2, 0x1234, 32767, -32768}), 0, {0xFE, 0xFF, 0x34, 0x12, 0xFF, 0x7F, 0x00, 0x80}},
        {1, as_bytes<std::int16_t>({9, 9, 9, -2, 5}), 3, {0xFE, 0xFF, 0x05, 0x00}},
        {2, as_bytes<std::int32_t>({0x123456, -1, 0x7F000001, -8388608}), 0,
         {0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80}},
        {3, as_bytes<std::int32_t>({7, 0x01020304, INT32_MIN, -2}), 1,
         {0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00, 0x80, 0xFE, 0xFF, 0xFF, 0xFF}},
        {4, as_bytes<float>({1.0f, -0.0f, 0.0f, -2.5f, 0.5f, tiny, -tiny}), 0,
         {0, 0, 0x80, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0xC0, 0, 0, 0, 0x3F, 1, 0, 0, 0, 1, 0, 0, 0x80}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "format " << c.format << " offset " << c.offset);
        Bytes input = c.input;
        EXPECT_EQ(write_bare(c.format, input.data(), input.size() / (c.format == 1 ? 2 : 4) - c.offset, c.offset),
                  c.expect);
    }
}

// The float layout built from its parts (sign, frexp exponent and fraction), for normal values.
std::uint32_t float_from_parts(float x) {
    int e = 0;
    const double f = std::frexp(std::fabs(static_cast<double>(x)), &e);
    const std::uint32_t fraction = static_cast<std::uint32_t>(f * 16777216.0) & 0x7FFFFFu;
    return (std::signbit(x) ? 0x80000000u : 0u) | (static_cast<std::uint32_t>(e + 126) << 23) | fraction;
}

TEST(WavWriter, FloatMatchesTheEncodingBuiltFromItsParts) {
    std::vector<float> values = {FLT_MIN, -FLT_MIN, FLT_MAX, -FLT_MAX, 3.14159f, -1e-30f, 65535.5f};
    std::uint32_t seed = 12345;
    for (int i = 0; i < 2000; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float mantissa = static_cast<float>(seed >> 8) / 16777216.0f + 0.001f;
        values.push_back(std::ldexp((seed & 1) ? -mantissa : mantissa, static_cast<int>(seed % 240) - 120));
    }
    const Bytes b = write_bare(4, values.data(), values.size(), 0);
    ASSERT_EQ(b.size(), values.size() * 4);
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(le(b, i * 4, 4), float_from_parts(values[i])) << values[i];
    }
}

// Tells the 6-sample groups apart and stays within 16 bits.
std::int32_t group_tag(std::size_t i) { return static_cast<std::int32_t>(i / 6 % 4000) * 8; }

// Element order C, L, R, Ls, Rs, LFE labelled 0..5 comes out as L, R, C, LFE, Ls, Rs.
TEST(WavWriter, SixChannelsReorderedOnlyWithAMask) {
    const std::int32_t reordered[6] = {1, 2, 0, 5, 3, 4};
    const std::size_t samples = 60002;  // groups across the writer's chunks, and 2 left over
    for (const std::uint32_t format : {1u, 3u}) {
        for (const std::uint32_t mask : {63u, 0u}) {
            SCOPED_TRACE(::testing::Message() << "format " << format << " mask " << mask);
            std::vector<std::int16_t> s16(samples);
            std::vector<std::int32_t> s32(samples);
            for (std::size_t i = 0; i < samples; ++i) s16[i] = static_cast<std::int16_t>(s32[i] = group_tag(i) + i % 6);
            const std::string path = temp_path("six.wav");
            WavOutput* wav = wav_open(path.c_str(), 48000, 6, format, 1, mask);
            ASSERT_NE(wav, nullptr);
            void* buffer = format == 1 ? static_cast<void*>(s16.data()) : static_cast<void*>(s32.data());
            ASSERT_EQ(wav_write(wav, buffer, samples, 0), samples);
            ASSERT_EQ(wav_close(wav), 0);

            const Bytes b = read_file(path);
            const std::size_t header = mask != 0 ? 68 : 44, width = format == 1 ? 2 : 4;
            ASSERT_EQ(b.size(), header + samples * width);
            EXPECT_EQ(le(b, 20, 2), mask != 0 ? 0xFFFEu : 1u);
            if (mask != 0) {
                EXPECT_EQ(Bytes(b.begin() + 40, b.begin() + 44), (Bytes{0x3F, 0, 0, 0}));
            }
            std::size_t bad = 0;
            for (std::size_t i = 0; i < samples; ++i) {
                const bool in_group = i < samples - samples % 6;
                const std::int32_t want = group_tag(i) + (mask != 0 && in_group ? reordered[i % 6] : i % 6);
                const std::int32_t in_place = format == 1 ? s16[i] : s32[i];
                const std::int32_t written = format == 1 ? static_cast<std::int16_t>(le(b, header + i * 2, 2))
                                                         : static_cast<std::int32_t>(le(b, header + i * 4, 4));
                if (in_place != want || written != want) ++bad;
            }
            EXPECT_EQ(bad, 0u);
            std::remove(path.c_str());
        }
    }
}

TEST(WavWriter, OpenRefusesBadFormatsAndPaths) {
    const std::string path = temp_path("refused.wav");
    for (const std::uint32_t format : {0u, 5u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(format);
        EXPECT_EQ(wav_open(path.c_str(), 44100, 2, format, 1, 0), nullptr);
        EXPECT_TRUE(read_file(path).empty()) << "no file for a refused format";
    }
    EXPECT_EQ(wav_open("/nonexistent-aacz-dir/out.wav", 44100, 2, 1, 1, 0), nullptr);
}

// Header functions on a record with a large total_samples: capped sizes and format fields.
TEST(WavWriter, HeadersCapSizesIn64Bits) {
    const std::uint32_t cap = 0xFFFFFF00u;
    const std::uint32_t kBits[5] = {0, 16, 24, 32, 32};
    const struct {
        bool extensible;
        std::uint32_t format;
        std::uint64_t total_samples;
        std::uint32_t riff, data;
    } cases[] = {
        {false, 1, 0, 36, 0},
        {false, 1, 2147483501u, 4294967038u, 4294967002u},  // D + 36 just below the cap
        {false, 1, 2147483502u, cap, 4294967004u},          // D + 36 reaches it
        {false, 1, 2147483520u, cap, cap},                  // D reaches it
        {false, 1, 2147483648u, cap, cap},                  // D = 2^32 would wrap to 0 in 32 bits
        {false, 2, 1431655667u, 4294967037u, 4294967001u},
        {false, 3, 1073741824u, cap, cap},
        {false, 4, std::numeric_limits<std::uint64_t>::max(), cap, cap},
        {true, 1, 2147483489u, 4294967038u, 4294966978u},   // D + 60 just below the cap
        {true, 2, 1431655660u, cap, 4294966980u},           // D + 60 reaches it
        {true, 3, 5, 80, 20},
        {true, 4, std::numeric_limits<std::uint64_t>::max() / 3, cap, cap},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "format " << c.format << " extensible " << c.extensible << " samples "
                                          << c.total_samples);
        WavOutput wav;
        wav.output_format = c.format;
        wav.bits_per_sample = kBits[c.format];
        wav.sample_rate = 48000;
        wav.channels = 6;
        wav.channel_mask = c.extensible ? 0x60F : 0;
        wav.total_samples = c.total_samples;
        wav.file = std::tmpfile();
        ASSERT_NE(wav.file, nullptr);
        EXPECT_EQ(c.extensible ? wav_write_extensible_header(&wav) : wav_write_header(&wav), 0);
        Bytes b(c.extensible ? 68 : 44);
        std::rewind(wav.file);
        ASSERT_EQ(std::fread(b.data(), 1, b.size(), wav.file), b.size());
        std::fclose(wav.file);
        const std::uint32_t block_align = 6 * kBits[c.format] / 8;
        EXPECT_EQ(std::string(b.begin(), b.begin() + 4) + std::string(b.begin() + 8, b.begin() + 16), "RIFFWAVEfmt ");
        EXPECT_EQ(le(b, 4, 4), c.riff);
        EXPECT_EQ(le(b, 16, 4), c.extensible ? 40u : 16u);
        EXPECT_EQ(le(b, 20, 2), c.extensible ? 0xFFFEu : c.format == 4 ? 3u : 1u);
        EXPECT_EQ(le(b, 22, 2), 6u);
        EXPECT_EQ(le(b, 24, 4), 48000u);
        EXPECT_EQ(le(b, 28, 4), 48000u * block_align);
        EXPECT_EQ(le(b, 32, 2), block_align);
        EXPECT_EQ(le(b, 34, 2), kBits[c.format]);
        EXPECT_EQ(std::string(b.end() - 8, b.end() - 4), "data");
        EXPECT_EQ(le(b, b.size() - 4, 4), c.data);
        if (c.extensible) {
            Bytes tail = kPcmGuid;
            tail[0] = c.format == 4 ? 3 : 1;
            EXPECT_EQ(le(b, 36, 2), 22u);
            EXPECT_EQ(le(b, 38, 2), kBits[c.format]);
            EXPECT_EQ(le(b, 40, 4), 0x60Fu);
            EXPECT_EQ(Bytes(b.begin() + 44, b.begin() + 60), tail);
        }
    }
}

// Runs a writer on "-" in a child whose standard output is `fd`; returns its wav_close result.
int write_to_standard_output(int fd, const std::vector<std::int16_t>& samples) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        if (dup2(fd, STDOUT_FILENO) < 0) _exit(90);
        WavOutput* wav = wav_open("-", 8000, 1, 1, 1, 0);
        if (wav == nullptr) _exit(91);
        std::vector<std::int16_t> buffer = samples;
        if (wav_write(wav, buffer.data(), buffer.size(), 0) != buffer.size()) _exit(92);
        _exit(wav_close(wav));
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(WavWriter, StandardOutputKeepsTheProvisionalHeaderWhenItCannotSeek) {
    const std::vector<std::int16_t> samples = {1, -2, 3};
    const Bytes data = {1, 0, 0xFE, 0xFF, 3, 0};
    const struct {
        const char* what;
        const char* prefix;
        int open_flags;
        bool pipe;
        int expect_status;
        std::uint32_t expect_data_size;
    } cases[] = {
        {"pipe", "", 0, true, 1, 0},
        {"regular file after other output", "hi", O_WRONLY | O_CREAT | O_TRUNC, false, 0, 6},
        {"file opened for appending", "hi", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, false, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = temp_path("stdout.wav");
        int fds[2] = {-1, -1};
        if (c.pipe) {
            ASSERT_EQ(pipe(fds), 0);
        } else {
            fds[1] = open(path.c_str(), c.open_flags, 0600);
            ASSERT_GE(fds[1], 0);
            ASSERT_EQ(write(fds[1], c.prefix, std::strlen(c.prefix)), static_cast<ssize_t>(std::strlen(c.prefix)));
        }
        EXPECT_EQ(write_to_standard_output(fds[1], samples), c.expect_status);
        close(fds[1]);
        Bytes b;
        if (c.pipe) {
            std::uint8_t chunk[256];
            for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) b.insert(b.end(), chunk, chunk + n);
            close(fds[0]);
        } else {
            b = read_file(path);
        }
        std::remove(path.c_str());
        const std::size_t at = std::strlen(c.prefix);
        ASSERT_EQ(b.size(), at + 44 + data.size());
        EXPECT_EQ(std::string(b.begin(), b.begin() + at), c.prefix);
        EXPECT_EQ(std::string(b.begin() + at, b.begin() + at + 4), "RIFF");
        EXPECT_EQ(le(b, at + 4, 4), 36 + c.expect_data_size);
        EXPECT_EQ(le(b, at + 40, 4), c.expect_data_size);
        EXPECT_EQ(Bytes(b.end() - 6, b.end()), data);
    }
}

}  // namespace
