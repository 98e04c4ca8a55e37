// The split of transport stream packets: one walk decides, byte range by byte range, whether
// bytes are the container's, the elementary stream's or (from format version 8) the other
// packets' bodies, reading only bytes already placed.
#include "pack/container/ts_packets.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "aac/syntax.h"
#include "pack/container/loas_frames.h"

namespace {

constexpr std::uint8_t kSync = 0x47;
constexpr std::size_t kPesHeader = 9;  // start code, stream id, length, flags, header data length
constexpr std::size_t kMinPacketsInARow = 5;
constexpr std::size_t kSyncSearch = 1024;

// MARK is a byte of the container stream that the packets do not hold (the walk writes it when
// splitting and reads it when merging); UNSTORED are bytes of the packets that no stream holds,
// which merging makes from what came before.
enum Stream { CONTAINER, ELEMENTARY, BODIES, MARK, UNSTORED };

unsigned pid_of(const std::uint8_t* h) { return (unsigned{h[1]} & 0x1F) << 8 | h[2]; }

// A packet that is not in sync, flagged as in error, scrambled, without payload or of another
// PID than the layout's: the elementary stream takes nothing from it (none of these bits is
// derived).
bool is_other_packet(const std::uint8_t* h, const TsLayout& layout) {
    return h[0] != kSync || (h[1] & 0x80) != 0 || (h[3] & 0xC0) != 0 || (h[3] & 0x10) == 0 ||
           std::find(layout.pids.begin(), layout.pids.end(), pid_of(h)) == layout.pids.end();
}

// A value that moves on by about the same step each time (a time stamp, a clock): predicted as
// the last one plus the step from the one before, modulo mask + 1 (0 before any was seen).
struct Stepped {
    bool has = false, has_step = false;
    std::uint64_t last = 0, step = 0;
    std::uint64_t next(std::uint64_t mask) const { return (last + (has_step ? step : 0)) & mask; }
    void saw(std::uint64_t v, std::uint64_t mask) {
        has_step = has;
        step = (v - last) & mask;
        last = v;
        has = true;
    }
};

// What the derived fields of a listed PID are predicted from: the packets before.
struct PidState {
    bool in_pes = false;
    std::size_t pes_left = 0;  // of the PES packet under way, its elementary stream bytes to come
    Stepped pts, pcr;
    // the last PES packet's elementary stream bytes: where they start, and how many
    bool has_pes = false;
    std::size_t pes_at = 0, pes_bytes = 0;
};

// The frames a PES packet is predicted to hold at most.
constexpr std::size_t kMaxPesFrames = 64;

constexpr std::uint64_t kPtsMask = (std::uint64_t{1} << 33) - 1;
constexpr std::uint64_t kStampMask = 0xFFFFFFFF;
constexpr std::size_t kPidCount = 1 << 13;

// The fields of one walk, turned into their differences from what was predicted (split) or
// back (merge). Each code_ function is given the field as stored (in the container stream) and
// as it is in the packets: splitting, it writes the difference into the stored bytes from the
// packets' bytes; merging, both are the same bytes, turned back in place.
struct Deriver {
    bool on = false;
    bool splitting = false;
    bool loas_frames = false;
    bool pes_frames = false;
    const std::uint8_t* elementary = nullptr;  // the whole elementary stream
    std::size_t elementary_size = 0;
    PidState pids[kMaxTsPids];
    // every PID's last continuity counter, 0x10 set once one was seen
    std::uint8_t counters[kPidCount] = {};
    Stepped stamp;  // of 192-byte packets' arrival time stamps

    // The length of the ADTS frame (or, with loas_frames, the LOAS frame) the elementary stream
    // holds at `at`, or 0.
    std::size_t frame_at(std::size_t at) const {
        if (at > elementary_size || elementary_size - at < 7) return 0;
        const std::uint8_t* p = elementary + at;
        if (is_adts_sync(p, 7)) return adts_frame_length(p);
        if (loas_frames && is_loas_sync(p, 7)) return loas_frame_length(p);
        return 0;
    }

    // A field of `width` bytes, big-endian, as its difference from pred modulo 2^(8 width).
    // Returns its value in the packets.
    std::uint64_t code_number(std::uint8_t* stored, const std::uint8_t* raw, unsigned width, std::uint64_t pred) const {
        const std::uint64_t mask = (std::uint64_t{1} << (8 * width)) - 1;
        std::uint64_t v = 0;
        for (unsigned b = 0; b < width; ++b) v = v << 8 | raw[b];
        const std::uint64_t out = splitting ? (v - pred) & mask : (v + pred) & mask;
        for (unsigned b = 0; b < width; ++b) stored[b] = static_cast<std::uint8_t>(out >> (8 * (width - 1 - b)));
        return splitting ? v : out;
    }

    // A field of n bytes as its XOR with the prediction's bytes; its bytes in the packets go
    // to v.
    void code_xor(std::uint8_t* stored, const std::uint8_t* raw, const std::uint8_t* pred, int n, std::uint8_t* v) const {
        for (int b = 0; b < n; ++b) {
            v[b] = splitting ? raw[b] : static_cast<std::uint8_t>(raw[b] ^ pred[b]);
            stored[b] = static_cast<std::uint8_t>(raw[b] ^ pred[b]);
        }
    }

    // The 4 bytes before a 192-byte packet's sync byte (copy permission and an arrival time
    // stamp).
    void code_stamp(std::uint8_t* stored, const std::uint8_t* raw) {
        stamp.saw(code_number(stored, raw, 4, stamp.next(kStampMask)), kStampMask);
    }

    // A packet's start of a PES packet and adaptation field flags, against what the PES packet
    // under way leaves: a new one starts once it is done, and a packet that ends it with fewer
    // bytes than the packet holds is stuffed.
    void code_flags(const PidState& st, std::uint8_t* stored, const std::uint8_t* raw) const {
        const bool done = st.in_pes && st.pes_left == 0;
        const bool stuffed = st.in_pes && st.pes_left != 0 && st.pes_left < kTsPacket - 4;
        stored[1] = static_cast<std::uint8_t>(raw[1] ^ (done ? 0x40 : 0));
        stored[3] = static_cast<std::uint8_t>(raw[3] ^ (stuffed ? 0x20 : 0));
    }

    // A program clock reference (6 bytes: a 33-bit base, 6 reserved bits, a 9-bit extension).
    void code_pcr(PidState& st, std::uint8_t* stored, const std::uint8_t* raw) const {
        const std::uint64_t base = st.pcr.next(kPtsMask);
        const std::uint8_t pred[6] = {static_cast<std::uint8_t>(base >> 25), static_cast<std::uint8_t>(base >> 17),
                                      static_cast<std::uint8_t>(base >> 9),  static_cast<std::uint8_t>(base >> 1),
                                      static_cast<std::uint8_t>((base & 1) << 7 | 0x7E), 0};
        std::uint8_t v[6];
        code_xor(stored, raw, pred, 6, v);
        st.pcr.saw(std::uint64_t{v[0]} << 25 | std::uint64_t{v[1]} << 17 | std::uint64_t{v[2]} << 9 |
                       std::uint64_t{v[3]} << 1 | v[4] >> 7,
                   kPtsMask);
    }

    // The continuity counter of any PID's packet against its last one, plus one when the packet
    // has a payload.
    void code_cc(std::uint8_t* stored, const std::uint8_t* raw) {
        std::uint8_t& last = counters[pid_of(raw)];
        const std::uint8_t pred = (last & 0x10) == 0 ? 0 : static_cast<std::uint8_t>((last + ((raw[3] & 0x10) >> 4)) & 0x0F);
        const std::uint8_t v = raw[3] & 0x0F;
        const std::uint8_t out = splitting ? (v - pred) & 0x0F : (v + pred) & 0x0F;
        stored[3] = static_cast<std::uint8_t>((stored[3] & 0xF0) | out);
        last = static_cast<std::uint8_t>(0x10 | (splitting ? v : out));
    }

    // The adaptation field's length of a packet that continues a PES packet: what stuffs the
    // packet when fewer bytes are left than it holds (0 when nothing is to be stuffed).
    static std::size_t stuffing_length(const PidState& st) {
        return st.in_pes && st.pes_left < kTsPacket - 5 ? kTsPacket - 5 - st.pes_left : 0;
    }
    void code_adaptation_length(PidState& st, std::uint8_t* stored, const std::uint8_t* raw) const {
        code_number(stored, raw, 1, stuffing_length(st));
    }

    // The frames that start in count bytes of the elementary stream from at, one at least.
    std::size_t frames_in(std::size_t at, std::size_t count) const {
        std::size_t frames = 0, bytes = 0;
        while (bytes < count && frames < kMaxPesFrames) {
            const std::size_t frame = frame_at(at + bytes);
            if (frame == 0) break;
            bytes += frame;
            ++frames;
        }
        return frames == 0 ? 1 : frames;
    }

    // The PES header's length field (bytes 4 and 5 of p) against the header and the frame that
    // follows it (with pes_frames, as many frames as the PID's last PES packet held); es_at is
    // where its elementary stream bytes start.
    std::size_t code_pes_length(const PidState& st, std::uint8_t* stored, const std::uint8_t* raw,
                                std::size_t es_at) const {
        const std::size_t frames = pes_frames && st.has_pes ? frames_in(st.pes_at, st.pes_bytes) : 1;
        std::uint64_t bytes = 0;
        for (std::size_t k = 0; k < frames; ++k) {
            const std::size_t frame = frame_at(es_at + bytes);
            if (frame == 0) break;
            bytes += frame;
        }
        const std::uint64_t pred = bytes != 0 ? 3 + std::uint64_t{raw[8]} + bytes : 0;
        return static_cast<std::size_t>(code_number(stored + 4, raw + 4, 2, pred));
    }

    // Whether the adaptation field at raw (its length byte first) is the stuffing predicted:
    // `length` bytes after its length, flags 0 and the rest 0xFF.
    static bool is_stuffing(const std::uint8_t* raw, std::size_t length) {
        if (raw[0] != length || raw[1] != 0) return false;
        for (std::size_t k = 2; k <= length; ++k)
            if (raw[k] != 0xFF) return false;
        return true;
    }

    // A PES header's time stamp (5 bytes: a 4-bit prefix and 33 bits between marker bits).
    void code_pts(PidState& st, std::uint8_t prefix, std::uint8_t* stored, const std::uint8_t* raw) const {
        const std::uint64_t p = st.pts.next(kPtsMask);
        const std::uint8_t pred[5] = {static_cast<std::uint8_t>(prefix | ((p >> 29) & 0x0E)),
                                      static_cast<std::uint8_t>(p >> 22),
                                      static_cast<std::uint8_t>(0x01 | ((p >> 14) & 0xFE)),
                                      static_cast<std::uint8_t>(p >> 7),
                                      static_cast<std::uint8_t>(0x01 | ((p << 1) & 0xFE))};
        std::uint8_t v[5];
        code_xor(stored, raw, pred, 5, v);
        st.pts.saw((std::uint64_t{v[0]} >> 1 & 7) << 30 | std::uint64_t{v[1]} << 22 | (std::uint64_t{v[2]} >> 1) << 15 |
                       std::uint64_t{v[3]} << 7 | v[4] >> 1,
                   kPtsMask);
    }
};

// Walks buf[0..n): take(stream, count, stored) places the next count bytes (at the walk's
// position) in a stream, points stored at them there, and returns false when it cannot; bytes
// of buf before the position are in place when the walk reads them, the derived fields turned
// back by `derive` first. Returns false when a take failed.
template <typename Take>
bool walk_packets(const std::uint8_t* buf, std::size_t n, const TsLayout& layout, Deriver& derive, Take&& take) {
    std::size_t pos = std::min<std::size_t>(layout.lead, n);
    std::uint8_t* stored = nullptr;
    if (!take(CONTAINER, pos, stored)) return false;
    const std::size_t prefix = layout.packet_size - kTsPacket;
    std::size_t es = 0;  // elementary stream bytes so far
    const auto to = [&](Stream s, std::size_t count) {
        if (!take(s, count, stored)) return false;
        pos += count;
        if (s == ELEMENTARY) es += count;
        return true;
    };
    while (pos < n) {
        if (n - pos < layout.packet_size) return to(CONTAINER, n - pos);
        if (!to(CONTAINER, prefix + 4)) return false;
        if (derive.on && prefix != 0) derive.code_stamp(stored, buf + pos - 4 - prefix);
        const std::uint8_t* h = buf + pos - 4;
        std::size_t rest = kTsPacket - 4;
        if (is_other_packet(h, layout)) {
            if (derive.on && h[0] == kSync) derive.code_cc(stored + prefix, h);
            if (!to(layout.bodies_apart ? BODIES : CONTAINER, rest)) return false;
            continue;
        }
        const auto pid_at = std::find(layout.pids.begin(), layout.pids.end(), pid_of(h));
        PidState& st = derive.pids[pid_at - layout.pids.begin()];
        if (derive.on) {
            derive.code_flags(st, stored + prefix, h);
            derive.code_cc(stored + prefix, h);
        }
        const bool unit_start = (h[1] & 0x40) != 0;
        bool stuffed = false;  // the adaptation field is the stuffing predicted, and not stored
        if ((h[3] & 0x20) != 0 && derive.on && layout.pes_frames && !unit_start) {
            const std::size_t length = Deriver::stuffing_length(st);
            if (length != 0) {
                std::uint8_t* mark = nullptr;
                if (!take(MARK, 1, mark)) return false;
                if (derive.splitting) {
                    *mark = Deriver::is_stuffing(buf + pos, length) ? 0 : 1;
                } else if (*mark > 1) {
                    return false;
                }
                stuffed = *mark == 0;
                if (stuffed) {
                    if (!to(UNSTORED, 1 + length)) return false;
                    if (!derive.splitting) {
                        stored[0] = static_cast<std::uint8_t>(length);
                        stored[1] = 0;
                        std::memset(stored + 2, 0xFF, length - 1);
                    }
                    rest -= 1 + length;
                }
            }
        }
        if ((h[3] & 0x20) != 0 && !stuffed) {  // an adaptation field: its length, then its bytes
            if (!to(CONTAINER, 1)) return false;
            if (derive.on && !unit_start) derive.code_adaptation_length(st, stored, buf + pos - 1);
            const std::size_t length = buf[pos - 1];
            --rest;
            if (length > rest) {
                if (!to(CONTAINER, rest)) return false;
                continue;
            }
            if (!to(CONTAINER, length)) return false;
            if (derive.on && length >= 7 && (buf[pos - length] & 0x10) != 0)
                derive.code_pcr(st, stored + 1, buf + pos - length + 1);
            rest -= length;
        }
        if (unit_start) {  // a PES header, when one whole fits before the payload
            st.in_pes = false;
            if (rest < kPesHeader) {
                if (!to(CONTAINER, rest)) return false;
                continue;
            }
            if (!to(CONTAINER, kPesHeader)) return false;
            std::uint8_t* header = stored;
            const std::uint8_t* p = buf + pos - kPesHeader;
            rest -= kPesHeader;
            if (p[0] != 0 || p[1] != 0 || p[2] != 1 || p[8] > rest) {
                if (!to(CONTAINER, rest)) return false;
                continue;
            }
            std::size_t length = 0;
            if (derive.on) length = derive.code_pes_length(st, header, p, es);
            if (!to(CONTAINER, p[8])) return false;
            if (derive.on && (p[7] & 0x80) != 0 && p[8] >= 5)
                derive.code_pts(st, (p[7] & 0x40) != 0 ? 0x31 : 0x21, stored, buf + pos - p[8]);
            rest -= p[8];
            st.in_pes = length >= 3 + std::size_t{p[8]};
            st.pes_left = st.in_pes ? length - 3 - p[8] : 0;
            st.has_pes = st.in_pes;
            st.pes_at = es;
            st.pes_bytes = st.pes_left;
        }
        if (!to(ELEMENTARY, rest)) return false;
        st.pes_left -= std::min(st.pes_left, rest);
    }
    return true;
}

}  // namespace

bool find_ts_packets(const std::uint8_t* data, std::size_t n, std::size_t& first_packet, std::size_t& packet_size) {
    for (std::size_t at = 0; at < kSyncSearch && at < n; ++at) {
        if (data[at] != kSync) continue;
        for (std::size_t size : {kTsPacket, kTsPacket + 4}) {
            const std::size_t prefix = size - kTsPacket;
            if (at < prefix) continue;
            std::size_t k = 1;
            while (k < kMinPacketsInARow && at + k * size < n && data[at + k * size] == kSync) ++k;
            if (k == kMinPacketsInARow) {
                first_packet = at - prefix;
                packet_size = size;
                return true;
            }
        }
    }
    return false;
}

std::vector<std::uint16_t> find_adts_pids(const std::uint8_t* data, std::size_t n, const TsLayout& layout,
                                          bool with_loas) {
    std::vector<std::uint16_t> pids;
    const std::size_t prefix = layout.packet_size - kTsPacket;
    for (std::size_t at = layout.lead; at + layout.packet_size <= n && pids.size() < kMaxTsPids;
         at += layout.packet_size) {
        const std::uint8_t* h = data + at + prefix;
        if (h[0] != kSync || (h[1] & 0xC0) != 0x40 || (h[3] & 0xD0) != 0x10) continue;  // a unit start with payload
        std::size_t pos = 4;
        if ((h[3] & 0x20) != 0) pos += 1 + std::size_t{h[4]};
        if (pos + kPesHeader + 2 > kTsPacket) continue;
        const std::uint8_t* p = h + pos;
        const bool audio = (p[3] >= 0xC0 && p[3] <= 0xDF) || p[3] == 0xBD;
        if (p[0] != 0 || p[1] != 0 || p[2] != 1 || !audio) continue;
        pos += kPesHeader + p[8];
        if (pos + 2 > kTsPacket) continue;
        const bool adts = h[pos] == 0xFF && (h[pos + 1] & 0xF6) == 0xF0;
        const bool loas = with_loas && is_loas_sync(h + pos, 2);
        if (!adts && !loas) continue;
        const std::uint16_t pid = static_cast<std::uint16_t>(pid_of(h));
        if (std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
    }
    return pids;
}

std::size_t other_packet_bodies(const std::uint8_t* data, std::size_t n, const TsLayout& layout) {
    const std::size_t prefix = layout.packet_size - kTsPacket;
    std::size_t bodies = 0;
    for (std::size_t at = layout.lead; at <= n && n - at >= layout.packet_size; at += layout.packet_size)
        if (is_other_packet(data + at + prefix, layout)) bodies += kTsPacket - 4;
    return bodies;
}

void split_ts(const std::uint8_t* data, std::size_t n, const TsLayout& layout, std::vector<std::uint8_t>& container,
              std::vector<std::uint8_t>& elementary, std::vector<std::uint8_t>* bodies) {
    container.clear();
    elementary.clear();
    std::vector<std::uint8_t> no_bodies;
    std::vector<std::uint8_t>& other = bodies != nullptr ? *bodies : no_bodies;
    other.clear();
    // The derived fields are predicted from the whole elementary stream, which merging has
    // first: it is gathered by a walk of its own, then the container stream by a second, which
    // starts from nothing as merging does.
    for (const Stream wanted : {ELEMENTARY, CONTAINER}) {
        auto owned = std::make_unique<Deriver>();
        Deriver& derive = *owned;
        derive.splitting = true;
        derive.loas_frames = layout.loas_frames;
        derive.pes_frames = layout.pes_frames;
        derive.on = layout.derive && wanted == CONTAINER;
        if (derive.on) {
            derive.elementary = elementary.data();
            derive.elementary_size = elementary.size();
        }
        const bool both = !layout.derive;
        std::size_t pos = 0;
        std::uint8_t scratch = 0;
        walk_packets(data, n, layout, derive, [&](Stream s, std::size_t count, std::uint8_t*& stored) {
            if (s == MARK) {
                if (wanted != CONTAINER) {
                    stored = &scratch;
                    return true;
                }
                container.push_back(0);
                stored = &container.back();
                return true;
            }
            if (s == UNSTORED) {
                stored = nullptr;
            } else if (s == wanted || both || (s == BODIES && wanted == CONTAINER)) {
                std::vector<std::uint8_t>& to = s == CONTAINER ? container : s == BODIES ? other : elementary;
                to.insert(to.end(), data + pos, data + pos + count);
                stored = to.data() + (to.size() - count);
            }
            pos += count;
            return true;
        });
        if (both) return;
    }
}

bool merge_ts(const std::uint8_t* container, std::size_t container_size, const std::uint8_t* elementary,
              std::size_t elementary_size, const TsLayout& layout, std::uint8_t* out, std::size_t n,
              const std::uint8_t* bodies, std::size_t bodies_size) {
    // with pes_frames the container stream holds bytes the packets do not, and not others
    if (elementary_size > n || bodies_size > n - elementary_size || (bodies_size != 0 && !layout.bodies_apart) ||
        (!layout.pes_frames && container_size != n - elementary_size - bodies_size))
        return false;
    Deriver derive;
    derive.on = layout.derive;
    derive.loas_frames = layout.loas_frames;
    derive.pes_frames = layout.pes_frames;
    derive.elementary = elementary;
    derive.elementary_size = elementary_size;
    std::size_t pos = 0, c = 0, e = 0, b = 0;
    std::uint8_t mark = 0;
    const bool whole = walk_packets(out, n, layout, derive, [&](Stream s, std::size_t count, std::uint8_t*& stored) {
        if (s == MARK) {
            if (c == container_size) return false;
            mark = container[c++];
            stored = &mark;
            return true;
        }
        if (s == UNSTORED) {
            if (count > n - pos) return false;
            pos += count;
            stored = out + pos - count;
            return true;
        }
        const std::uint8_t* from = s == CONTAINER ? container : s == BODIES ? bodies : elementary;
        std::size_t& at = s == CONTAINER ? c : s == BODIES ? b : e;
        const std::size_t size = s == CONTAINER ? container_size : s == BODIES ? bodies_size : elementary_size;
        if (count > size - at || count > n - pos) return false;
        if (count != 0) std::memcpy(out + pos, from + at, count);
        at += count;
        pos += count;
        stored = out + pos - count;
        return true;
    });
    return whole && pos == n && c == container_size && e == elementary_size && b == bodies_size;
}
