// WAV output: opens a file or the standard output, writes the plain or extensible RIFF/WAVE
// header, appends 16-bit little-endian samples and completes the header at close.
#include "frontend/wav_writer.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Size fields never go above this value, however much data was written.
constexpr std::uint64_t kSizeCap = 0xFFFFFF00u;

constexpr std::size_t kFileBufferBytes = std::size_t{1} << 20;

constexpr std::uint32_t kBytesPerSample = 2;
constexpr std::uint32_t kBitsPerSample = 16;
constexpr std::size_t kPlainHeaderSize = 44;
constexpr std::size_t kExtensibleHeaderSize = 68;

// Decoder element order (C, L, R, Ls, Rs, LFE) to the order of speaker mask 63
// (L, R, C, LFE, Ls, Rs): new position k takes old position kSixChannelOrder[k].
constexpr std::array<unsigned, 6> kSixChannelOrder = {1, 2, 0, 5, 3, 4};

// The PCM sub-format identifier of the extensible header.
constexpr std::array<std::uint8_t, 16> kPcmSubFormat = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void put_u16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put_u32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The bytes of total_samples samples + extra, capped. The product is only formed when it
// cannot exceed the cap by more than a sample, so no intermediate value wraps even for absurd
// sample counts.
std::uint32_t capped_size(std::uint64_t total_samples, std::uint32_t extra) {
    if (total_samples > kSizeCap / kBytesPerSample) return static_cast<std::uint32_t>(kSizeCap);
    const std::uint64_t size = total_samples * kBytesPerSample + extra;
    return static_cast<std::uint32_t>(size < kSizeCap ? size : kSizeCap);
}

// What both headers open with, "fmt " size and format tag given, up to the channel count's
// block of fields (offsets 0 to 35).
void put_header_start(std::uint8_t* h, const WavOutput& wav, std::uint32_t extra, std::uint32_t fmt_size,
                      std::uint32_t format_tag) {
    std::memcpy(h + 0, "RIFF", 4);
    put_u32(h + 4, capped_size(wav.total_samples, extra));
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    put_u32(h + 16, fmt_size);
    put_u16(h + 20, format_tag);
    const std::uint64_t byte_rate = std::uint64_t{wav.sample_rate} * kBytesPerSample * wav.channels;
    put_u16(h + 22, wav.channels);
    put_u32(h + 24, wav.sample_rate);
    put_u32(h + 28, static_cast<std::uint32_t>(byte_rate));
    put_u16(h + 32, kBytesPerSample * wav.channels);
    put_u16(h + 34, kBitsPerSample);
}

// Writes out the gathered bytes; a failure stays in out.error and ends all later writes.
void flush_buffer(WavOutput& wav) {
    if (wav.buffered == 0) return;
    static_cast<void>(write_output(wav.out, wav.file_buffer.data(), wav.buffered));
    wav.buffered = 0;
}

// Appends bytes through the buffer; a run larger than the buffer goes out in one write.
// Returns 0, or 1 once the output has failed.
int write_bytes(WavOutput* wav, const void* data, std::size_t size) {
    if (wav == nullptr || wav->out.fd < 0) return 1;
    if (wav->buffered + size > wav->file_buffer.size()) flush_buffer(*wav);
    if (size >= wav->file_buffer.size()) {
        static_cast<void>(write_output(wav->out, data, size));
    } else {
        std::memcpy(wav->file_buffer.data() + wav->buffered, data, size);
        wav->buffered += size;
    }
    return wav->out.error != 0 ? 1 : 0;
}

std::size_t plain_header(const WavOutput& wav, std::uint8_t* h) {
    put_header_start(h, wav, 36, 16, 1);
    std::memcpy(h + 36, "data", 4);
    put_u32(h + 40, capped_size(wav.total_samples, 0));
    return kPlainHeaderSize;
}

std::size_t extensible_header(const WavOutput& wav, std::uint8_t* h) {
    put_header_start(h, wav, 60, 40, 0xFFFE);
    put_u16(h + 36, 22);
    put_u16(h + 38, kBitsPerSample);
    put_u32(h + 40, wav.channel_mask);
    std::memcpy(h + 44, kPcmSubFormat.data(), kPcmSubFormat.size());
    std::memcpy(h + 60, "data", 4);
    put_u32(h + 64, capped_size(wav.total_samples, 0));
    return kExtensibleHeaderSize;
}

// The header of the record's current fields into h (room for the larger one); its size.
std::size_t header_bytes(const WavOutput& wav, std::uint8_t* h) {
    return wav.channel_mask != 0 ? extensible_header(wav, h) : plain_header(wav, h);
}

// Where an output written in place stands now, if the header can later be rewritten there.
// A descriptor opened for appending would put the rewritten header at its end, so it counts
// as unseekable.
std::int64_t repositionable_offset(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || (flags & O_APPEND) != 0) return -1;
    const off_t pos = lseek(fd, 0, SEEK_CUR);
    return pos < 0 ? -1 : static_cast<std::int64_t>(pos);
}

// Appends 16-bit samples as little-endian bytes. Returns 0, or 1 once the output has failed.
int write_pcm(WavOutput& wav, const std::int16_t* samples, std::size_t count) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return write_bytes(&wav, samples, count * kBytesPerSample);
#else
    std::vector<std::uint8_t> bytes(count * kBytesPerSample);
    for (std::size_t k = 0; k < count; ++k) put_u16(bytes.data() + 2 * k, static_cast<std::uint16_t>(samples[k]));
    return write_bytes(&wav, bytes.data(), bytes.size());
#endif
}

}  // namespace

WavOutput* wav_open(const char* path, std::uint32_t sample_rate, std::uint32_t channels, std::uint32_t channel_mask,
                    int* error) {
    if (error != nullptr) *error = 0;
    if (path == nullptr) return nullptr;
    WavOutput* wav = new (std::nothrow) WavOutput;
    if (wav == nullptr) {
        if (error != nullptr) *error = ENOMEM;
        return nullptr;
    }
    wav->sample_rate = sample_rate;
    wav->channels = channels;
    wav->channel_mask = channel_mask;

    // Text already waiting for the standard output goes before the samples.
    const bool is_stdout = path[0] == '-';
    if (is_stdout) std::fflush(stdout);
    const int e = open_output(wav->out, is_stdout ? std::string("-") : std::string(path), true);
    if (e != 0) {
        if (error != nullptr) *error = e;
        delete wav;
        return nullptr;
    }
#ifdef _WIN32
    if (is_stdout) _setmode(STDOUT_FILENO, _O_BINARY);
#endif
    wav->header_offset = wav->out.in_place ? repositionable_offset(wav->out.fd) : 0;
    // A frame is a few KiB: a larger buffer makes one write of many frames.
    wav->file_buffer.resize(kFileBufferBytes);
    // A header that fails to go out here shows up again when the output is finished.
    std::array<std::uint8_t, kExtensibleHeaderSize> h{};
    (void)write_bytes(wav, h.data(), header_bytes(*wav, h.data()));
    return wav;
}

std::uint64_t wav_write(WavOutput* wav, const std::int16_t* samples, std::uint64_t count) {
    if (wav == nullptr || wav->out.fd < 0 || samples == nullptr || count == 0) return 0;
    wav->total_samples += count;
    const auto n = static_cast<std::size_t>(count);
    if (wav->channels == 6 && wav->channel_mask != 0) {
        // Only complete groups are reordered; a trailing partial group goes as it came.
        wav->reordered.assign(samples, samples + n);
        for (std::size_t k = 0; k + 6 <= n; k += 6)
            for (std::size_t c = 0; c < 6; ++c) wav->reordered[k + c] = samples[k + kSixChannelOrder[c]];
        samples = wav->reordered.data();
    }
    return write_pcm(*wav, samples, n) == 0 ? count : 0;
}

int wav_finish(WavOutput* wav) {
    if (wav == nullptr || wav->out.fd < 0) return 0;
    flush_buffer(*wav);
    // An unseekable output keeps its provisional header: the rewrite is not even tried, so
    // nothing can be written out of place.
    if (wav->header_offset < 0) {
        static_cast<void>(close_output(wav->out));
        return 1;
    }
    std::array<std::uint8_t, kExtensibleHeaderSize> h{};
    const std::size_t size = header_bytes(*wav, h.data());
    if (wav->out.error == 0) {
        const ssize_t put = pwrite(wav->out.fd, h.data(), size, static_cast<off_t>(wav->header_offset));
        if (put != static_cast<ssize_t>(size)) wav->out.error = put < 0 ? errno : EIO;
    }
    static_cast<void>(close_output(wav->out));
    return 0;
}

void wav_release(WavOutput* wav) {
    if (wav == nullptr) return;
    discard_output(wav->out);
    delete wav;
}
