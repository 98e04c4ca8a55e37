// WAV output: headers, sample layouts, 6-channel reordering, standard output.
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
