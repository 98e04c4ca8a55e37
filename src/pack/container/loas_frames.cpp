// The split of LOAS streams: one walk decides, frame by frame, what goes to the container
// stream and what to the elementary stream, reading only bits of the frame's headers.
#include "pack/container/loas_frames.h"

#include <algorithm>

#include "aac/bit_sink.h"
#include "aac/syntax.h"

namespace {

constexpr std::size_t kAdtsHeader = 7;
constexpr std::size_t kMaxAdtsFrame = 8191;
constexpr unsigned kMaxOtherDataEscapes = 4;

// Bits of data[0..limit/8), most significant first; a read past the limit gives zeros and
// sets `over`. (The syntax core's BitReader wants zero bytes after its data; a header is read
// here in place, in the middle of a chunk or a container stream.)
struct Bits {
    const std::uint8_t* data = nullptr;
    std::size_t limit = 0;
    std::size_t pos = 0;
    bool over = false;

    std::uint32_t get(unsigned n) {
        if (over || pos + n > limit) {
            over = true;
            return 0;
        }
        std::uint32_t v = 0;
        for (unsigned i = 0; i < n; ++i, ++pos) v = v << 1 | ((data[pos >> 3] >> (7 - (pos & 7))) & 1u);
        return v;
    }

    void skip(std::size_t n) {
        if (over || n > limit - pos) {
            over = true;
            return;
        }
        pos += n;
    }

    // LatmGetValue: a count of bytes less one in 2 bits, then the value in that many bytes.
    std::uint32_t latm_value() {
        const unsigned bytes = get(2) + 1;
        std::uint32_t v = 0;
        for (unsigned i = 0; i < bytes; ++i) v = v << 8 | get(8);
        return v;
    }
};

// The StreamMuxConfig at b, when it is one the split takes.
bool read_stream_mux_config(Bits& b, LatmConfig& config) {
    const bool version1 = b.get(1) != 0;  // audioMuxVersion
    if (version1) {
        if (b.get(1) != 0) return false;  // audioMuxVersionA
        b.latm_value();                   // taraBufferFullness
    }
    if (b.get(1) != 1) return false;  // allStreamsSameTimeFraming
    // numSubFrames, numProgram, numLayer: one of each
    if (b.get(6) != 0 || b.get(4) != 0 || b.get(3) != 0) return false;
    // AudioSpecificConfig (version 1: its length in bits first, fill bits after it)
    const std::size_t config_bits = version1 ? b.latm_value() : 0;
    const std::size_t config_at = b.pos;
    unsigned object_type = b.get(5);
    const unsigned sf_index = b.get(4);
    const unsigned channel_config = b.get(4);
    if (sf_index == 15) return false;
    if (object_type == 5 || object_type == 29) {  // SBR or PS signalled explicitly: the core follows
        if (b.get(4) == 15) return false;
        object_type = b.get(5);
    }
    if ((object_type != 1 && object_type != 2 && object_type != 4) || sf_index > 12 || channel_config == 0 ||
        channel_config > 7)
        return false;
    if (b.get(3) != 0) return false;  // frameLengthFlag, dependsOnCoreCoder, extensionFlag
    if (version1) {
        if (b.over || b.pos - config_at > config_bits) return false;
        b.skip(config_bits - (b.pos - config_at));
    }
    if (b.get(3) != 0) return false;  // frameLengthType: payload lengths in bytes
    b.get(8);                         // latmBufferFullness
    if (b.get(1) != 0) {  // otherDataPresent: its length, a value in version 1, else escaped
        if (version1) {
            b.latm_value();
        } else {
            unsigned escapes = 0;
            while (b.get(1) != 0) {
                b.get(8);
                if (++escapes == kMaxOtherDataEscapes) return false;
            }
            b.get(8);
        }
    }
    if (b.get(1) != 0) b.get(8);  // crcCheckPresent, crcCheckSum
    if (b.over) return false;
    config.known = true;
    config.object_type = static_cast<std::uint8_t>(object_type);
    config.sf_index = static_cast<std::uint8_t>(sf_index);
    config.channel_config = static_cast<std::uint8_t>(channel_config);
    return true;
}

// A frame the split takes: its length, the bits of its headers (the payload length last, in
// `length_bytes` bytes), its payload's bytes, and the configuration it leaves in effect.
struct FrameShape {
    std::size_t length = 0;
    std::size_t header_bits = 0;
    std::size_t length_bytes = 0;
    std::size_t payload = 0;
    LatmConfig config;
};

// The container stream holds a taken frame's two lengths as what they differ by from what the
// elementary stream's frame says: the frame's length against the last taken frame's bytes of
// headers (0 at a chunk's start) plus the payload's, and the payload length, whose bytes
// follow from the payload's length alone, as zeros. The merge reads them back against the
// next frame the elementary stream holds.
struct Derived {
    std::size_t headers = 0;  // the last taken frame's length less its payload
    std::size_t payload = 0;  // the payload the elementary stream's next frame holds
};

// The payload length's byte k for a payload of `payload` bytes: 255s, then the rest.
std::uint32_t payload_length_byte(std::size_t payload, std::size_t k) {
    return k < payload / 255 ? 255u : k == payload / 255 ? static_cast<std::uint32_t>(payload % 255) : 0u;
}

// The 13-bit length field a frame of `length` bytes is stored as, and back.
std::uint32_t length_difference(std::size_t length, const Derived& d) {
    return static_cast<std::uint32_t>((length - 3 - (d.headers + d.payload - 3)) & 0x1FFF);
}

// Whether p starts a frame the split takes, given `avail` bytes readable at p, room for
// `room` bytes of frame, and the configuration in effect; with `derived`, p is the frame as the
// container stream holds it. Only the frame's header bits are read, and never past its length.
bool parse_frame(const std::uint8_t* p, std::size_t avail, std::size_t room, const LatmConfig& in,
                 const Derived* derived, FrameShape& f) {
    if (avail < 3 || !is_loas_sync(p, avail)) return false;
    std::size_t length = loas_frame_length(p);
    if (derived != nullptr) length = 3 + ((length - 3 + derived->headers + derived->payload - 3) & 0x1FFF);
    if (length > room) return false;
    Bits b;
    b.data = p;
    b.limit = 8 * std::min(avail, length);
    b.pos = 24;
    LatmConfig config = in;
    if (b.get(1) == 0) {  // useSameStreamMux
        if (!read_stream_mux_config(b, config)) return false;
    } else if (!in.known) {
        return false;
    }
    std::size_t payload = 0, bytes = 0;
    for (;;) {  // PayloadLengthInfo
        std::uint32_t t = b.get(8);
        if (derived != nullptr) t ^= payload_length_byte(derived->payload, bytes);
        payload += t;
        ++bytes;
        if (b.over || b.pos + 8 * payload > 8 * length) return false;
        if (t != 255) break;
    }
    if (payload == 0 || kAdtsHeader + payload > kMaxAdtsFrame) return false;
    if (derived != nullptr && payload != derived->payload) return false;
    f.length = length;
    f.header_bits = b.pos;
    f.length_bytes = bytes;
    f.payload = payload;
    f.config = config;
    return true;
}

// The ADTS header the elementary stream carries before a payload of `payload` bytes.
void adts_header(const LatmConfig& c, std::size_t payload, std::uint8_t (&h)[kAdtsHeader]) {
    const std::size_t length = kAdtsHeader + payload;
    h[0] = 0xFF;
    h[1] = 0xF1;  // MPEG-4, layer 0, no CRC
    h[2] = static_cast<std::uint8_t>((c.object_type - 1) << 6 | c.sf_index << 2 | c.channel_config >> 2);
    h[3] = static_cast<std::uint8_t>((c.channel_config & 3) << 6 | length >> 11);
    h[4] = static_cast<std::uint8_t>(length >> 3);
    h[5] = static_cast<std::uint8_t>((length & 7) << 5 | 0x1F);  // buffer fullness 0x7FF
    h[6] = 0xFC;
}

// The eight bits at bit `at` of src[0..size).
std::uint8_t byte_at(const std::uint8_t* src, std::size_t size, std::size_t at) {
    const std::size_t k = at >> 3;
    const unsigned r = at & 7;
    if (r == 0) return src[k];
    const unsigned next = k + 1 < size ? src[k + 1] : 0;
    return static_cast<std::uint8_t>(src[k] << r | next >> (8 - r));
}

// Appends `count` bits of src[0..size) from bit `from` to the sink.
void copy_bits(const std::uint8_t* src, std::size_t size, std::size_t from, std::size_t count, BitSink& sink) {
    for (; count >= 8; count -= 8, from += 8) bitsink_put(sink, byte_at(src, size, from), 8);
    if (count != 0) bitsink_put(sink, byte_at(src, size, from) >> (8 - count), static_cast<unsigned>(count));
}

}  // namespace

void put_latm_config(const LatmConfig& config, std::uint8_t (&out)[kLatmConfigBytes]) {
    out[0] = config.known ? 1 : 0;
    out[1] = config.known ? config.object_type : 0;
    out[2] = config.known ? config.sf_index : 0;
    out[3] = config.known ? config.channel_config : 0;
}

bool read_latm_config(const std::uint8_t* in, LatmConfig& config) {
    config = LatmConfig{};
    if (in[0] == 0) return in[1] == 0 && in[2] == 0 && in[3] == 0;
    if (in[0] != 1 || (in[1] != 1 && in[1] != 2 && in[1] != 4) || in[2] > 12 || in[3] == 0 || in[3] > 7) return false;
    config.known = true;
    config.object_type = in[1];
    config.sf_index = in[2];
    config.channel_config = in[3];
    return true;
}

LoasWalk walk_loas(const std::uint8_t* data, std::size_t n, LatmConfig& config, std::size_t limit) {
    LoasWalk walk;
    walk.at_last_end = config;
    FrameShape f;
    for (std::size_t at = 0; at < n;) {
        if (!parse_frame(data + at, n - at, n - at, config, nullptr, f)) {
            ++at;
            continue;
        }
        config = f.config;
        at += f.length;
        ++walk.frames;
        walk.frame_bytes += f.length;
        if (at <= limit) {
            walk.last_end = at;
            walk.at_last_end = config;
        }
    }
    return walk;
}

bool mostly_loas(const std::uint8_t* data, std::size_t n, LatmConfig config) {
    std::size_t frame_bytes = 0;
    FrameShape f;
    for (std::size_t at = 0; at < n;) {
        if (2 * (frame_bytes + (n - at)) < n) return false;
        if (!parse_frame(data + at, n - at, n - at, config, nullptr, f)) {
            ++at;
            continue;
        }
        config = f.config;
        at += f.length;
        frame_bytes += f.length;
        if (2 * frame_bytes >= n) return true;
    }
    return n != 0 && 2 * frame_bytes >= n;
}

LatmConfig first_loas_config(const std::uint8_t* data, std::size_t n) {
    FrameShape f;
    for (std::size_t at = 0; at < n; ++at)
        if (parse_frame(data + at, n - at, n - at, LatmConfig{}, nullptr, f)) return f.config;
    return LatmConfig{};
}

std::size_t split_loas(const std::uint8_t* data, std::size_t n, LatmConfig config, std::vector<std::uint8_t>& container,
                       std::vector<std::uint8_t>& elementary) {
    container.clear();
    elementary.clear();
    std::size_t frames = 0;
    Derived derived;
    FrameShape f;
    for (std::size_t at = 0; at < n;) {
        const std::uint8_t* frame = data + at;
        if (!parse_frame(frame, n - at, n - at, config, nullptr, f)) {
            container.push_back(data[at++]);
            continue;
        }
        derived.payload = f.payload;
        const std::size_t record = f.length - f.payload;
        const std::size_t start = container.size();
        container.resize(start + record);
        BitSink sink;
        bitsink_create(sink, container.data() + start, record);
        bitsink_put(sink, 0x2B7, 11);
        bitsink_put(sink, length_difference(f.length, derived), 13);
        const std::size_t lengths_at = f.header_bits - 8 * f.length_bytes;
        copy_bits(frame, f.length, 24, lengths_at - 24, sink);
        for (std::size_t k = 0; k < f.length_bytes; ++k) bitsink_put(sink, 0, 8);
        const std::size_t after = f.header_bits + 8 * f.payload;
        copy_bits(frame, f.length, after, 8 * f.length - after, sink);

        std::uint8_t header[kAdtsHeader];
        adts_header(f.config, f.payload, header);
        elementary.insert(elementary.end(), header, header + kAdtsHeader);
        for (std::size_t i = 0; i < f.payload; ++i)
            elementary.push_back(byte_at(frame, f.length, f.header_bits + 8 * i));
        config = f.config;
        derived.headers = record;
        at += f.length;
        ++frames;
    }
    return frames;
}

bool merge_loas(const std::uint8_t* container, std::size_t container_size, const std::uint8_t* elementary,
                std::size_t elementary_size, LatmConfig config, std::uint8_t* out, std::size_t n) {
    std::size_t c = 0, e = 0;
    Derived derived;
    FrameShape f;
    for (std::size_t at = 0; at < n;) {
        if (c >= container_size) return false;
        const std::uint8_t* record = container + c;
        // the payload of the elementary stream's next frame, if it holds one
        const std::uint8_t* next = elementary + e;
        const std::size_t next_length = elementary_size - e >= kAdtsHeader ? adts_frame_length(next) : 0;
        derived.payload = next_length > kAdtsHeader ? next_length - kAdtsHeader : 0;
        if (derived.payload == 0 || !parse_frame(record, container_size - c, n - at, config, &derived, f)) {
            out[at++] = container[c++];
            continue;
        }
        const std::size_t record_size = f.length - f.payload;
        if (container_size - c < record_size || elementary_size - e < kAdtsHeader + f.payload) return false;
        std::uint8_t header[kAdtsHeader];
        adts_header(f.config, f.payload, header);
        if (!std::equal(header, header + kAdtsHeader, next)) return false;
        BitSink sink;
        bitsink_create(sink, out + at, f.length);
        bitsink_put(sink, 0x2B7, 11);
        bitsink_put(sink, static_cast<std::uint32_t>(f.length - 3), 13);
        const std::size_t lengths_at = f.header_bits - 8 * f.length_bytes;
        copy_bits(record, record_size, 24, lengths_at - 24, sink);
        for (std::size_t k = 0; k < f.length_bytes; ++k) bitsink_put(sink, payload_length_byte(f.payload, k), 8);
        const std::uint8_t* payload = next + kAdtsHeader;
        for (std::size_t i = 0; i < f.payload; ++i) bitsink_put(sink, payload[i], 8);
        copy_bits(record, record_size, f.header_bits, 8 * record_size - f.header_bits, sink);
        if (sink.overflow || sink.bit_position != 8 * f.length) return false;
        config = f.config;
        derived.headers = record_size;
        at += f.length;
        c += record_size;
        e += kAdtsHeader + f.payload;
    }
    return c == container_size && e == elementary_size;
}
