// WAV output: opens a file or the standard output, writes the plain or extensible RIFF/WAVE
// header, converts interleaved samples to little-endian bytes and completes the header at close.
#include "frontend/wav_writer.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

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

// Samples converted per fwrite. A frame (up to 8 channels of 2048 samples) fits in one chunk,
// and a multiple of 6 keeps every 6-channel group inside one chunk.
constexpr std::uint64_t kChunkSamples = 6 * 8192;

constexpr std::size_t kPlainHeaderSize = 44;
constexpr std::size_t kExtensibleHeaderSize = 68;

// Decoder element order (C, L, R, Ls, Rs, LFE) to the order of speaker mask 63
// (L, R, C, LFE, Ls, Rs): new position k takes old position kSixChannelOrder[k].
constexpr std::array<unsigned, 6> kSixChannelOrder = {1, 2, 0, 5, 3, 4};

// The tail shared by the PCM and IEEE float sub-format identifiers; their first byte differs.
constexpr std::array<std::uint8_t, 15> kSubFormatTail = {0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                         0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559, "float must be IEEE 754 single");

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

std::uint32_t bytes_per_sample(const WavOutput& wav) { return (wav.bits_per_sample + 7) / 8; }

// B * total_samples + extra, capped. The product is only formed when it cannot exceed the cap
// by more than B, so no intermediate value wraps even for absurd sample counts.
std::uint32_t capped_size(std::uint64_t total_samples, std::uint32_t b, std::uint32_t extra) {
    if (b != 0 && total_samples > kSizeCap / b) return static_cast<std::uint32_t>(kSizeCap);
    const std::uint64_t size = total_samples * b + extra;
    return static_cast<std::uint32_t>(size < kSizeCap ? size : kSizeCap);
}

// The "fmt " fields common to both headers, from the channel count on (offsets 22 to 35).
void put_format_fields(std::uint8_t* p, const WavOutput& wav) {
    const std::uint32_t b = bytes_per_sample(wav);
    const std::uint64_t byte_rate = std::uint64_t{wav.sample_rate} * b * wav.channels;
    put_u16(p + 22, wav.channels);
    put_u32(p + 24, wav.sample_rate);
    put_u32(p + 28, static_cast<std::uint32_t>(byte_rate));
    put_u16(p + 32, b * wav.channels);
    put_u16(p + 34, wav.bits_per_sample);
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

std::size_t plain_header(const WavOutput& wav, std::uint8_t* h);
std::size_t extensible_header(const WavOutput& wav, std::uint8_t* h);

// The header of the record's current fields into h (room for the larger one); its size.
std::size_t header_bytes(const WavOutput& wav, std::uint8_t* h) {
    return wav.channel_mask != 0 ? extensible_header(wav, h) : plain_header(wav, h);
}

int write_header_for(WavOutput* wav) {
    return wav->channel_mask != 0 ? wav_write_extensible_header(wav) : wav_write_header(wav);
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

void encode_int16(std::int16_t s, std::uint8_t* out) { put_u16(out, static_cast<std::uint16_t>(s)); }

void encode_int24(std::int32_t s, std::uint8_t* out) {
    const auto u = static_cast<std::uint32_t>(s);
    out[0] = static_cast<std::uint8_t>(u);
    out[1] = static_cast<std::uint8_t>(u >> 8);
    out[2] = static_cast<std::uint8_t>(u >> 16);
}

void encode_int32(std::int32_t s, std::uint8_t* out) { put_u32(out, static_cast<std::uint32_t>(s)); }

// For every normal value, building the encoding from sign, frexp exponent and fraction gives
// exactly the value's own IEEE 754 bits, so the bits are taken directly. Zero of either sign
// becomes four zero bytes. Denormals keep their exact IEEE denormal encoding (biased exponent
// 0) instead of an out-of-range exponent; infinities and NaNs pass through unchanged.
void encode_float(float s, std::uint8_t* out) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &s, sizeof bits);
    if ((bits & 0x7FFFFFFFu) == 0) bits = 0;
    put_u32(out, bits);
}

// Converts `samples` samples of type Sample at `src` into B-byte little-endian samples and
// appends them in chunks; with `reorder` every complete group of 6 is
// first rearranged in the caller's buffer. Returns the samples written.
template <typename Sample, std::size_t B, typename Encode>
std::uint64_t write_samples(WavOutput& wav, unsigned char* src, std::uint64_t samples, bool reorder, Encode encode) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Integer samples of the file's own width are already the file's bytes on this host.
    if constexpr (std::is_integral_v<Sample> && sizeof(Sample) == B) {
        if (!reorder) return write_bytes(&wav, src, static_cast<std::size_t>(samples) * B) == 0 ? samples : 0;
    }
#endif
    if (wav.bytes.size() < kChunkSamples * B) wav.bytes.resize(kChunkSamples * B);
    std::uint8_t* out = wav.bytes.data();
    std::uint64_t written = 0;
    while (written < samples) {
        const std::uint64_t rest = samples - written;
        const auto n = static_cast<std::size_t>(rest < kChunkSamples ? rest : kChunkSamples);
        unsigned char* in = src + written * sizeof(Sample);
        std::size_t k = 0;
        if (reorder) {
            for (; k + 6 <= n; k += 6) {
                std::array<Sample, 6> group;
                std::memcpy(group.data(), in + k * sizeof(Sample), sizeof group);
                for (std::size_t c = 0; c < 6; ++c) {
                    const Sample s = group[kSixChannelOrder[c]];
                    std::memcpy(in + (k + c) * sizeof(Sample), &s, sizeof s);
                    encode(s, out + (k + c) * B);
                }
            }
        }
        for (; k < n; ++k) {
            Sample s;
            std::memcpy(&s, in + k * sizeof(Sample), sizeof s);
            encode(s, out + k * B);
        }
        if (write_bytes(&wav, out, n * B) != 0) break;
        written += n;
    }
    return written;
}

}  // namespace

WavOutput* wav_open(const char* path, std::uint32_t sample_rate, std::uint32_t channels, std::uint32_t output_format,
                    std::uint32_t file_type, std::uint32_t channel_mask, int* error) {
    static constexpr std::array<std::uint32_t, 4> kBitsPerSample = {16, 24, 32, 32};
    if (error != nullptr) *error = 0;
    if (path == nullptr || output_format < 1 || output_format > kBitsPerSample.size()) return nullptr;

    WavOutput* wav = new (std::nothrow) WavOutput;
    if (wav == nullptr) {
        if (error != nullptr) *error = ENOMEM;
        return nullptr;
    }
    wav->output_format = output_format;
    wav->file_type = file_type;
    wav->sample_rate = sample_rate;
    wav->bits_per_sample = kBitsPerSample[output_format - 1];
    wav->channels = channels;
    wav->total_samples = 0;
    wav->channel_mask = channel_mask;

    // Text already waiting for the standard output goes before the samples.
    wav->is_stdout = path[0] == '-';
    if (wav->is_stdout) std::fflush(stdout);
    const int e = open_output(wav->out, wav->is_stdout ? std::string("-") : std::string(path), true);
    if (e != 0) {
        if (error != nullptr) *error = e;
        delete wav;
        return nullptr;
    }
#ifdef _WIN32
    if (wav->is_stdout) _setmode(STDOUT_FILENO, _O_BINARY);
#endif
    wav->header_offset = wav->out.in_place ? repositionable_offset(wav->out.fd) : 0;
    // A frame is a few KiB: a larger buffer makes one write of many frames.
    wav->file_buffer.resize(kFileBufferBytes);
    // A header that fails to go out here shows up again when the output is finished.
    if (file_type == 1) (void)write_header_for(wav);
    return wav;
}

std::uint64_t wav_write(WavOutput* wav, void* buffer, std::uint64_t samples, std::uint64_t offset) {
    if (wav == nullptr || wav->out.fd < 0 || samples == 0) return 0;
    if (wav->output_format < 1 || wav->output_format > 4 || buffer == nullptr) return 0;
    const std::uint64_t in_size = wav->output_format == 1 ? 2 : 4;
    // The byte span the caller's samples occupy must be addressable.
    const std::uint64_t max_samples = std::numeric_limits<std::size_t>::max() / in_size;
    if (samples > max_samples || offset > max_samples - samples) return 0;

    wav->total_samples += samples;
    unsigned char* src = static_cast<unsigned char*>(buffer) + offset * in_size;
    const bool reorder = wav->channels == 6 && wav->channel_mask != 0;
    switch (wav->output_format) {
        case 1: return write_samples<std::int16_t, 2>(*wav, src, samples, reorder, encode_int16);
        case 2: return write_samples<std::int32_t, 3>(*wav, src, samples, reorder, encode_int24);
        case 3: return write_samples<std::int32_t, 4>(*wav, src, samples, reorder, encode_int32);
        default: return write_samples<float, 4>(*wav, src, samples, reorder, encode_float);
    }
}

int wav_finish(WavOutput* wav) {
    if (wav == nullptr || wav->out.fd < 0) return 0;
    flush_buffer(*wav);
    int status = 0;
    if (wav->file_type == 1) {
        // An unseekable output keeps its provisional header: the rewrite is not even tried,
        // so nothing can be written out of place.
        if (wav->header_offset < 0) {
            status = 1;
        } else {
            std::array<std::uint8_t, kExtensibleHeaderSize> h{};
            const std::size_t size = header_bytes(*wav, h.data());
            const std::int64_t at = wav->header_offset;
            if (wav->out.error == 0) {
                const ssize_t put = pwrite(wav->out.fd, h.data(), size, static_cast<off_t>(at));
                if (put != static_cast<ssize_t>(size)) wav->out.error = put < 0 ? errno : EIO;
            }
        }
    }
    static_cast<void>(close_output(wav->out));
    return status;
}

void wav_release(WavOutput* wav) {
    if (wav == nullptr) return;
    discard_output(wav->out);
    delete wav;
}

int wav_close(WavOutput* wav) {
    if (wav == nullptr) return 0;
    int status = wav_finish(wav);
    if (commit_output(wav->out) != 0) status = 1;
    wav_release(wav);
    return status;
}

namespace {

std::size_t plain_header(const WavOutput& wav, std::uint8_t* h) {
    const std::uint32_t b = bytes_per_sample(wav);
    std::memcpy(h + 0, "RIFF", 4);
    put_u32(h + 4, capped_size(wav.total_samples, b, 36));
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    put_u32(h + 16, 16);
    put_u16(h + 20, wav.output_format == 4 ? 3 : 1);
    put_format_fields(h, wav);
    std::memcpy(h + 36, "data", 4);
    put_u32(h + 40, capped_size(wav.total_samples, b, 0));
    return kPlainHeaderSize;
}

std::size_t extensible_header(const WavOutput& wav, std::uint8_t* h) {
    const std::uint32_t b = bytes_per_sample(wav);
    std::memcpy(h + 0, "RIFF", 4);
    put_u32(h + 4, capped_size(wav.total_samples, b, 60));
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    put_u32(h + 16, 40);
    put_u16(h + 20, 0xFFFE);
    put_format_fields(h, wav);
    put_u16(h + 36, 22);
    put_u16(h + 38, wav.bits_per_sample);
    put_u32(h + 40, wav.channel_mask);
    h[44] = wav.output_format == 4 ? 3 : 1;
    std::memcpy(h + 45, kSubFormatTail.data(), kSubFormatTail.size());
    std::memcpy(h + 60, "data", 4);
    put_u32(h + 64, capped_size(wav.total_samples, b, 0));
    return kExtensibleHeaderSize;
}

}  // namespace

int wav_write_header(WavOutput* wav) {
    if (wav == nullptr) return 1;
    std::array<std::uint8_t, kPlainHeaderSize> h{};
    return write_bytes(wav, h.data(), plain_header(*wav, h.data()));
}

int wav_write_extensible_header(WavOutput* wav) {
    if (wav == nullptr) return 1;
    std::array<std::uint8_t, kExtensibleHeaderSize> h{};
    return write_bytes(wav, h.data(), extensible_header(*wav, h.data()));
}
