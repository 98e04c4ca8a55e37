// The box walk over the ISO media family. Three passes over the top level: the first checks
// that the box sizes chain to the end of the file and finds the index (moov); then the index's
// tracks are read, their sample tables followed entry by entry through small windows of the
// file (nothing a file claims is read whole); last, every movie fragment (moof) adds its runs.
// Only the boxes on the path to a sample table are entered; everything else (tags, cover art,
// edit lists, other tracks' descriptions) is stepped over by its size.
#include "pack/container/container_walk.h"

#include <algorithm>
#include <cstring>

#include "aac/bit_reader.h"
#include "aac/syntax.h"

namespace {

constexpr std::uint32_t fourcc(const char (&s)[5]) {
    return (std::uint32_t{static_cast<std::uint8_t>(s[0])} << 24) |
           (std::uint32_t{static_cast<std::uint8_t>(s[1])} << 16) |
           (std::uint32_t{static_cast<std::uint8_t>(s[2])} << 8) | std::uint32_t{static_cast<std::uint8_t>(s[3])};
}

std::uint32_t be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }
std::uint32_t be24(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2]; }
std::uint32_t be32(const std::uint8_t* p) { return (be16(p) << 16) | be16(p + 2); }
std::uint64_t be64(const std::uint8_t* p) { return (std::uint64_t{be32(p)} << 32) | be32(p + 4); }

// Largest esds payload read whole; real ones are a few dozen bytes.
constexpr std::size_t kMaxEsdsBytes = 4096;
// The sound sample description's fields before its child boxes, by its version (0, 1, 2).
constexpr std::uint64_t kSoundEntryBytes[3] = {28, 28 + 16, 28 + 36};

bool read_exact(const RandomReader& in, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    if (n == 0) return true;
    if (offset > in.size || n > in.size - offset) return false;
    const long long got = in.read_at(in.self, offset, buf, n);
    return got >= 0 && static_cast<std::uint64_t>(got) == n;
}

// A few bytes of a table read through a window that moves with the reads, so tables of any
// length cost one small buffer each.
struct TableWindow {
    const RandomReader* in = nullptr;
    std::uint64_t limit = 0;  // one past the table's last byte
    std::uint64_t start = 0;
    std::size_t have = 0;
    std::uint8_t buf[4096];
};

// The `bytes` (1..8) at `offset` as one big-endian number; false past the table or the file.
bool window_read(TableWindow& t, std::uint64_t offset, unsigned bytes, std::uint64_t& v) {
    if (offset < t.start || offset - t.start + bytes > t.have) {
        if (offset >= t.limit || t.limit - offset < bytes) return false;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof t.buf, t.limit - offset));
        t.start = offset;
        t.have = 0;
        if (!read_exact(*t.in, offset, t.buf, n)) return false;
        t.have = n;
    }
    const std::uint8_t* p = t.buf + (offset - t.start);
    v = 0;
    for (unsigned i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return true;
}

struct Box {
    std::uint32_t type = 0;
    std::uint64_t start = 0;  // its first byte
    std::uint64_t body = 0;   // its payload's first byte
    std::uint64_t end = 0;    // one past its last byte, never beyond its parent's end
};

// One trak as the walk understood it: where its tables lie in the file.
struct TrackTables {
    std::uint32_t track_id = 0;
    std::uint32_t handler = 0;    // the mdia handler type, 0 when none was read
    std::uint32_t aac_entry = 0;  // 1-based sample description index of the modelled mp4a entry, 0 for none
    AacTrack config;
    std::uint32_t constant_size = 0;  // stsz's sample_size; 0 when the sizes are a table
    unsigned size_bits = 0;           // bits of a table entry: 4, 8, 16 or 32; 0 without a size box
    std::uint64_t sizes_at = 0, sizes_count = 0;
    unsigned chunk_bytes = 0;  // 4 (stco) or 8 (co64); 0 without one
    std::uint64_t chunks_at = 0, chunks_count = 0;
    bool has_stsc = false;
    std::uint64_t stsc_at = 0, stsc_count = 0;
    int layout_index = -1;  // in layout.tracks when modelled
    bool guessed = false;   // met in a segment without an index: any sample description is taken
    std::uint64_t next_entry = 0;  // the entry number of the next sample a fragment gives sizes of
};

struct TrackDefaults {  // a trex box
    std::uint32_t track_id = 0, sample_description_index = 0, sample_size = 0;
};

struct Walker {
    const RandomReader& in;
    ContainerLayout& layout;
    unsigned boxes = 0;
    bool out_of_boxes = false;
    bool full = false;  // kWalkMaxSamples taken
    std::vector<TrackTables> tracks;
    std::vector<TrackDefaults> defaults;
    bool lone = false;  // fragments without an index: every track a fragment names is a guessed one
};

// Reads the header of the box at pos, which must lie inside [pos, end). A box whose size runs
// past `end` is cut to it; a size of 0 runs to `end`. False when no box fits there: fewer bytes
// than a header, a size smaller than its header, or the box budget spent. A header read again
// (the top level's, walked twice) is not charged to the budget.
bool read_box(Walker& w, std::uint64_t pos, std::uint64_t end, Box& box, bool charge = true) {
    if (charge && w.boxes >= kWalkMaxBoxes) {
        w.out_of_boxes = true;
        return false;
    }
    std::uint8_t h[16];
    if (pos > end || end - pos < 8 || !read_exact(w.in, pos, h, 8)) return false;
    if (charge) ++w.boxes;
    std::uint64_t size = be32(h);
    std::uint64_t header = 8;
    if (size == 1) {
        if (end - pos < 16 || !read_exact(w.in, pos + 8, h + 8, 8)) return false;
        size = be64(h + 8);
        header = 16;
    } else if (size == 0) {
        size = end - pos;
    }
    if (size < header) return false;
    box.type = be32(h + 4);
    box.start = pos;
    box.body = pos + header;
    box.end = size > end - pos ? end : pos + size;
    return true;
}

// Calls fn(box) for each box of [from, to) in turn, until one does not fit.
template <typename Fn>
void for_each_child(Walker& w, std::uint64_t from, std::uint64_t to, unsigned depth, Fn&& fn) {
    if (depth > kWalkMaxDepth) return;
    Box b;
    for (std::uint64_t pos = from; !w.out_of_boxes && read_box(w, pos, to, b); pos = b.end) fn(b);
}

// A box's payload read whole into buf (at most cap bytes); false when larger or unreadable.
bool read_payload(const Walker& w, const Box& b, std::uint8_t* buf, std::size_t cap, std::size_t& n) {
    if (b.end - b.body > cap) return false;
    n = static_cast<std::size_t>(b.end - b.body);
    return read_exact(w.in, b.body, buf, n);
}

// ---------------------------------------------------------------------------------------------
// The sample description: mp4a, its esds and the AudioSpecificConfig inside.

unsigned read_object_type(BitReader& br) {
    const unsigned aot = get_bits(br, 5);
    return aot == 31 ? 32 + get_bits(br, 6) : aot;
}

// A sampling index, or an explicit 24-bit rate after index 15.
std::uint32_t read_rate(BitReader& br, unsigned& index) {
    index = get_bits(br, 4);
    if (index == 15) return get_bits(br, 24);
    return static_cast<std::uint32_t>(kSamplingFrequencies[index]);
}

// The descriptor header at p[at]: its tag and a length of 1..4 bytes of 7 bits; false when the
// header or the length it gives runs past n.
bool read_descriptor(const std::uint8_t* p, std::size_t n, std::size_t& at, unsigned& tag, std::size_t& length) {
    if (at >= n) return false;
    tag = p[at++];
    length = 0;
    for (int i = 0;; ++i) {
        if (at >= n || i == 4) return false;
        const std::uint8_t b = p[at++];
        length = (length << 7) | (b & 0x7F);
        if ((b & 0x80) == 0) break;
    }
    return length <= n - at;
}

// Finds the descriptor `want` among those in p[from, to); sets [from, to) to its payload.
bool find_descriptor(const std::uint8_t* p, std::size_t& from, std::size_t& to, unsigned want) {
    std::size_t at = from, length = 0;
    unsigned tag = 0;
    while (read_descriptor(p, to, at, tag, length)) {
        if (tag == want) {
            from = at;
            to = at + length;
            return true;
        }
        at += length;
    }
    return false;
}

// The esds payload (version and flags first): an ES_Descriptor holding a DecoderConfigDescriptor
// for MPEG-4 or MPEG-2 AAC whose DecSpecificInfo is the AudioSpecificConfig.
bool read_esds(const std::uint8_t* p, std::size_t n, AacTrack& config) {
    std::size_t from = 4, to = n;
    if (n < 4 || !find_descriptor(p, from, to, 0x03) || to - from < 3) return false;
    const std::uint8_t flags = p[from + 2];
    from += 3;
    if (flags & 0x80) from += 2;                                             // dependsOn_ES_ID
    if ((flags & 0x40) != 0 && from < to) from += 1 + std::size_t{p[from]};  // URL
    if (flags & 0x20) from += 2;                                             // OCR_ES_Id
    if (from > to || !find_descriptor(p, from, to, 0x04) || to - from < 13) return false;
    const std::uint8_t object_type_indication = p[from];
    // MPEG-4 audio, or the MPEG-2 AAC profiles Main and LC (SSR is not modelled).
    if (object_type_indication != 0x40 && object_type_indication != 0x66 && object_type_indication != 0x67)
        return false;
    from += 13;
    if (!find_descriptor(p, from, to, 0x05)) return false;
    return read_audio_specific_config(p + from, to - from, config);
}

// An mp4a entry: the esds directly inside, or inside a QuickTime `wave` box.
bool read_mp4a(Walker& w, const Box& entry, unsigned depth, AacTrack& config) {
    std::uint8_t head[28];
    if (entry.end - entry.body < sizeof head || !read_exact(w.in, entry.body, head, sizeof head)) return false;
    const unsigned version = be16(head + 8);
    if (version > 2 || entry.end - entry.body < kSoundEntryBytes[version]) return false;
    bool found = false, modelled = false;
    auto visit = [&](const Box& b) {
        if (found || b.type != fourcc("esds")) return;
        found = true;
        std::uint8_t esds[kMaxEsdsBytes];
        std::size_t n = 0;
        modelled = read_payload(w, b, esds, sizeof esds, n) && read_esds(esds, n, config);
    };
    for_each_child(w, entry.body + kSoundEntryBytes[version], entry.end, depth + 1, [&](const Box& b) {
        visit(b);
        if (b.type == fourcc("wave")) for_each_child(w, b.body, b.end, depth + 2, visit);
    });
    return modelled;
}

void read_stsd(Walker& w, const Box& stsd, unsigned depth, TrackTables& t) {
    std::uint8_t head[8];
    if (stsd.end - stsd.body < 8 || !read_exact(w.in, stsd.body, head, 8)) return;
    const std::uint32_t entry_count = be32(head + 4);
    std::uint32_t index = 0;
    for_each_child(w, stsd.body + 8, stsd.end, depth + 1, [&](const Box& entry) {
        if (++index > entry_count || t.aac_entry != 0 || entry.type != fourcc("mp4a")) return;
        if (read_mp4a(w, entry, depth + 1, t.config)) t.aac_entry = index;
    });
}

// ---------------------------------------------------------------------------------------------
// The index: traks and their sample tables, mvex defaults.

// The fixed fields of a table box (after version and flags) and where its entries start; the
// entry count is cut to what the box holds.
void read_table(Walker& w, const Box& b, std::uint32_t type, TrackTables& t) {
    std::uint8_t h[12];
    const std::uint64_t payload = b.end - b.body;
    if (payload < 8 || !read_exact(w.in, b.body, h, payload < 12 ? 8 : 12)) return;
    auto fit = [&](std::uint64_t at, std::uint64_t count, unsigned entry_bits) {
        const std::uint64_t room = (b.end - at) * 8 / entry_bits;
        return std::min(count, room);
    };
    if ((type == fourcc("stsz") || type == fourcc("stz2")) && t.size_bits == 0 && payload >= 12) {
        if (type == fourcc("stsz")) {
            t.constant_size = be32(h + 4);
            t.size_bits = 32;
        } else {
            t.size_bits = h[7];
            if (t.size_bits != 4 && t.size_bits != 8 && t.size_bits != 16) {
                t.size_bits = 0;
                return;
            }
        }
        t.sizes_at = b.body + 12;
        t.sizes_count = t.constant_size != 0 ? be32(h + 8) : fit(t.sizes_at, be32(h + 8), t.size_bits);
        t.next_entry = t.sizes_count;  // a fragment's entries follow the trak's own
    } else if ((type == fourcc("stco") || type == fourcc("co64")) && t.chunk_bytes == 0) {
        t.chunk_bytes = type == fourcc("stco") ? 4 : 8;
        t.chunks_at = b.body + 8;
        t.chunks_count = fit(t.chunks_at, be32(h + 4), t.chunk_bytes * 8);
    } else if (type == fourcc("stsc") && !t.has_stsc) {
        t.has_stsc = true;
        t.stsc_at = b.body + 8;
        t.stsc_count = fit(t.stsc_at, be32(h + 4), 96);
    }
}

void read_trak(Walker& w, const Box& trak, unsigned depth) {
    TrackTables t;
    for_each_child(w, trak.body, trak.end, depth + 1, [&](const Box& b) {
        std::uint8_t h[24];
        if (b.type == fourcc("tkhd") && b.end - b.body >= 24 && read_exact(w.in, b.body, h, 24)) {
            t.track_id = be32(h + (h[0] == 1 ? 20 : 12));
        } else if (b.type == fourcc("mdia")) {
            for_each_child(w, b.body, b.end, depth + 2, [&](const Box& m) {
                if (m.type == fourcc("hdlr") && m.end - m.body >= 12 && read_exact(w.in, m.body, h, 12)) {
                    t.handler = be32(h + 8);
                } else if (m.type == fourcc("minf")) {
                    for_each_child(w, m.body, m.end, depth + 3, [&](const Box& s) {
                        if (s.type != fourcc("stbl")) return;
                        for_each_child(w, s.body, s.end, depth + 4, [&](const Box& table) {
                            if (table.type == fourcc("stsd"))
                                read_stsd(w, table, depth + 5, t);
                            else
                                read_table(w, table, table.type, t);
                        });
                    });
                }
            });
        }
    });
    if (t.aac_entry != 0 && (t.handler == 0 || t.handler == fourcc("soun"))) {
        t.layout_index = static_cast<int>(w.layout.tracks.size());
        t.config.track_id = t.track_id;
        w.layout.tracks.push_back(t.config);
    } else {
        ++w.layout.other_tracks;
    }
    w.tracks.push_back(t);
}

void read_moov(Walker& w, const Box& moov) {
    for_each_child(w, moov.body, moov.end, 1, [&](const Box& b) {
        if (b.type == fourcc("trak")) {
            if (w.tracks.size() < kWalkMaxTracks)
                read_trak(w, b, 1);
            else
                ++w.layout.other_tracks;
        } else if (b.type == fourcc("mvex")) {
            w.layout.fragmented = true;
            for_each_child(w, b.body, b.end, 2, [&](const Box& x) {
                std::uint8_t h[24];
                if (x.type != fourcc("trex") || w.defaults.size() >= kWalkMaxTracks || x.end - x.body < 24 ||
                    !read_exact(w.in, x.body, h, 24))
                    return;
                w.defaults.push_back({be32(h + 4), be32(h + 8), be32(h + 16)});
            });
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Samples.

// Takes one access unit of track `track` when it is one: within the file, 1..8191 bytes.
void take_sample(Walker& w, std::uint64_t offset, std::uint64_t size, int track, std::uint32_t entry = kNoSizeEntry) {
    if (size == 0 || size > kWalkMaxSampleBytes || offset > w.in.size || size > w.in.size - offset) return;
    if (w.layout.samples.size() >= kWalkMaxSamples) {
        w.full = true;
        return;
    }
    w.layout.samples.push_back({offset, entry, static_cast<std::uint16_t>(size), static_cast<std::uint16_t>(track)});
}

bool sample_size(TableWindow& sizes, const TrackTables& t, std::uint64_t i, std::uint64_t& size) {
    if (t.constant_size != 0) {
        size = t.constant_size;
        return true;
    }
    if (t.size_bits != 4) return window_read(sizes, t.sizes_at + i * (t.size_bits / 8), t.size_bits / 8, size);
    if (!window_read(sizes, t.sizes_at + i / 2, 1, size)) return false;
    size = (i % 2 == 0 ? size >> 4 : size) & 15;
    return true;
}

// The samples of a trak's own tables: chunk by chunk, stsc saying how many samples each chunk
// holds and which sample description they use.
void take_track_samples(Walker& w, const TrackTables& t) {
    if (t.layout_index < 0 || t.size_bits == 0 || t.chunk_bytes == 0 || !t.has_stsc || t.stsc_count == 0) return;
    // A constant size no access unit can have makes every sample one the walk drops.
    if (t.size_bits == 32 && t.constant_size > kWalkMaxSampleBytes) return;
    const std::uint64_t all = t.sizes_count;
    if (t.constant_size == 0 && t.size_bits == 32 && all > 0)
        w.layout.size_tables.push_back({t.sizes_at, static_cast<std::uint32_t>(std::min<std::uint64_t>(all, kNoSizeEntry - 1)),
                                        static_cast<std::uint16_t>(t.layout_index), 0});
    if (t.constant_size == 0)
        w.layout.samples.reserve(std::min(kWalkMaxSamples, w.layout.samples.size() + static_cast<std::size_t>(all)));
    TableWindow sizes, chunks, stsc;
    sizes.in = chunks.in = stsc.in = &w.in;
    sizes.limit = t.sizes_at + (t.sizes_count * t.size_bits + 7) / 8;
    chunks.limit = t.chunks_at + t.chunks_count * t.chunk_bytes;
    stsc.limit = t.stsc_at + t.stsc_count * 12;
    std::uint64_t first = 0, per_chunk = 0, description = 0, next_first = 0;
    std::uint64_t entry = 0;  // the next stsc entry to read
    auto next_entry = [&]() {
        std::uint64_t f = UINT64_MAX;
        if (entry < t.stsc_count && !window_read(stsc, t.stsc_at + entry * 12, 4, f)) return false;
        next_first = f;
        return true;
    };
    if (!next_entry()) return;
    std::uint64_t sample = 0;
    for (std::uint64_t chunk = 1; chunk <= t.chunks_count && sample < all && !w.full; ++chunk) {
        while (chunk >= next_first) {  // the entries run in increasing first_chunk order from 1
            if (next_first <= first || (first == 0 && next_first != 1)) return;
            first = next_first;
            if (!window_read(stsc, t.stsc_at + entry * 12 + 4, 4, per_chunk) ||
                !window_read(stsc, t.stsc_at + entry * 12 + 8, 4, description))
                return;
            ++entry;
            if (!next_entry()) return;
        }
        if (first == 0) return;
        std::uint64_t offset = 0;
        if (!window_read(chunks, t.chunks_at + (chunk - 1) * t.chunk_bytes, t.chunk_bytes, offset)) return;
        const std::uint64_t n = std::min(per_chunk, all - sample);
        if (description != t.aac_entry) {
            sample += n;
            continue;
        }
        for (std::uint64_t i = 0; i < n && offset < w.in.size && !w.full; ++i) {
            std::uint64_t size = 0;
            if (!sample_size(sizes, t, sample + i, size)) return;
            const bool entry = t.constant_size == 0 && t.size_bits == 32 && sample + i < kNoSizeEntry;
            take_sample(w, offset, size, t.layout_index,
                        entry ? static_cast<std::uint32_t>(sample + i) : kNoSizeEntry);
            offset += size;
        }
        sample += n;
    }
}

// The trak's tables whose entries may be places of stretches of access units.
void add_place_tables(Walker& w, const TrackTables& t) {
    const auto count = [](std::uint64_t n) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX)); };
    if (t.chunk_bytes == 4 && t.chunks_count != 0) w.layout.place_tables.push_back({t.chunks_at, count(t.chunks_count), false});
    if (t.layout_index < 0 && t.size_bits == 32 && t.constant_size == 0 && t.sizes_count != 0)
        w.layout.place_tables.push_back({t.sizes_at, count(t.sizes_count), true});
}

// A traf's samples: runs placed from the base its tfhd gives (or the moof, or where the
// previous traf's data ended), each run without a data offset continuing after the last.
// What a track fragment's header and runs have said so far.
struct TrafState {
    std::uint64_t moof_start = 0;
    std::uint64_t base = 0;
    std::uint64_t next = 0;  // where the next run without a data offset starts
    std::uint32_t description = 0;
    std::uint32_t default_size = 0;
    TrackTables* track = nullptr;
    bool have_tfhd = false;
    bool sizes_known = true;  // false once a run's place or size cannot be told: later runs are not taken
};

void read_tfhd(Walker& w, const Box& b, TrafState& t) {
    const std::uint64_t payload = b.end - b.body;
    std::uint8_t h[40];
    if (payload < 8 || !read_exact(w.in, b.body, h, static_cast<std::size_t>(std::min<std::uint64_t>(payload, 40))))
        return;
    const std::uint32_t tf_flags = be24(h + 1);
    const std::uint32_t track_id = be32(h + 4);
    unsigned at = 8;
    const unsigned need = 8 + ((tf_flags & 0x01) ? 8 : 0) + ((tf_flags & 0x02) ? 4 : 0) + ((tf_flags & 0x08) ? 4 : 0) +
                          ((tf_flags & 0x10) ? 4 : 0);
    if (payload < need) return;
    t.have_tfhd = true;
    for (TrackTables& tables : w.tracks)
        if (tables.track_id == track_id) t.track = &tables;
    if (t.track == nullptr && w.lone && w.tracks.size() < kWalkMaxTracks) {
        TrackTables guessed;
        guessed.track_id = track_id;
        guessed.guessed = true;
        guessed.layout_index = static_cast<int>(w.layout.tracks.size());
        AacTrack config;
        config.track_id = track_id;
        w.layout.tracks.push_back(config);
        w.tracks.push_back(guessed);
        t.track = &w.tracks.back();
    }
    for (const TrackDefaults& d : w.defaults)
        if (d.track_id == track_id) {
            t.description = d.sample_description_index;
            t.default_size = d.sample_size;
        }
    if (tf_flags & 0x01)
        t.base = be64(h + at), at += 8;
    else if (tf_flags & 0x020000)
        t.base = t.moof_start;  // default-base-is-moof
    if (tf_flags & 0x02) t.description = be32(h + at), at += 4;
    if (tf_flags & 0x08) at += 4;
    if (tf_flags & 0x10) t.default_size = be32(h + at);
    t.next = t.base;
}

void read_trun(Walker& w, const Box& b, TrafState& t, std::uint64_t& data_end) {
    std::uint8_t r[12];
    if (b.end - b.body < 8 || !read_exact(w.in, b.body, r, 8)) return;
    const std::uint32_t flags = be24(r + 1);
    std::uint64_t count = be32(r + 4);
    std::uint64_t at = b.body + 8;
    std::uint64_t start = t.next;
    if (flags & 0x01) {
        if (b.end - at < 4 || !read_exact(w.in, at, r + 8, 4)) return;
        const std::int64_t data_offset = static_cast<std::int32_t>(be32(r + 8));
        at += 4;
        if (data_offset < 0 && static_cast<std::uint64_t>(-data_offset) > t.base) {
            t.sizes_known = false;
            return;
        }
        start = t.base + static_cast<std::uint64_t>(data_offset);
    }
    if (flags & 0x04) at += 4;
    const unsigned fields =
        ((flags & 0x100) ? 1 : 0) + ((flags & 0x200) ? 1 : 0) + ((flags & 0x400) ? 1 : 0) + ((flags & 0x800) ? 1 : 0);
    if (at > b.end) return;
    if (fields != 0) count = std::min<std::uint64_t>(count, (b.end - at) / (4 * fields));
    const bool taking = t.track != nullptr && t.track->layout_index >= 0 &&
                        (t.track->guessed || t.description == t.track->aac_entry);
    std::uint64_t offset = start;
    if ((flags & 0x200) == 0) {
        if (t.default_size == 0 && count != 0) {  // no size anywhere: the data's end is unknown
            t.sizes_known = false;
            return;
        }
        if (taking && t.default_size <= kWalkMaxSampleBytes) {
            for (std::uint64_t i = 0; i < count && offset < w.in.size && !w.full; ++i, offset += t.default_size)
                take_sample(w, offset, t.default_size, t.track->layout_index);
        }
        offset = start + count * t.default_size;
    } else {
        TableWindow table;
        table.in = &w.in;
        table.limit = at + count * 4 * fields;
        const unsigned size_field = (flags & 0x100) ? 1 : 0;
        // sizes alone, one after another, are a table of sizes as stsz is
        std::uint64_t entry = t.track != nullptr ? t.track->next_entry : kNoSizeEntry;
        const bool sizes_alone = taking && fields == 1 && count != 0 && entry + count < kNoSizeEntry;
        if (sizes_alone)
            w.layout.size_tables.push_back({at, static_cast<std::uint32_t>(count),
                                            static_cast<std::uint16_t>(t.track->layout_index),
                                            static_cast<std::uint32_t>(entry)});
        for (std::uint64_t i = 0; i < count; ++i, ++entry) {
            std::uint64_t size = 0;
            if (!window_read(table, at + (i * fields + size_field) * 4, 4, size)) {
                t.sizes_known = false;
                return;
            }
            if (taking && !w.full)
                take_sample(w, offset, size, t.track->layout_index,
                            sizes_alone ? static_cast<std::uint32_t>(entry) : kNoSizeEntry);
            offset += size;
        }
        if (t.track != nullptr) t.track->next_entry += count;
    }
    t.next = offset;
    data_end = offset;
}

// The samples of one track fragment: its header, then each run of samples.
void take_traf_samples(Walker& w, const Box& traf, std::uint64_t moof_start, std::uint64_t default_base,
                       std::uint64_t& data_end) {
    TrafState t;
    t.moof_start = moof_start;
    t.base = default_base;
    for_each_child(w, traf.body, traf.end, 3, [&](const Box& b) {
        if (b.type == fourcc("tfhd") && !t.have_tfhd) {
            read_tfhd(w, b, t);
        } else if (b.type == fourcc("trun") && t.have_tfhd && t.sizes_known) {
            read_trun(w, b, t, data_end);
        }
    });
}

void read_moof(Walker& w, const Box& moof) {
    std::uint64_t data_end = moof.start;
    bool first = true;
    for_each_child(w, moof.body, moof.end, 1, [&](const Box& b) {
        if (b.type != fourcc("traf")) return;
        // Without an explicit base, the first traf's data is placed from the moof's first
        // byte, a later one's from where the data of the traf before it ended.
        take_traf_samples(w, b, moof.start, first ? moof.start : data_end, data_end);
        first = false;
    });
}

bool printable_type(std::uint32_t type) {
    for (int shift = 0; shift < 32; shift += 8) {
        const unsigned c = (type >> shift) & 0xFF;
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

bool first_box_type(std::uint32_t type) {
    return type == fourcc("ftyp") || type == fourcc("moov") || type == fourcc("mdat") || type == fourcc("free") ||
           type == fourcc("skip") || type == fourcc("wide") || type == fourcc("styp") || type == fourcc("sidx") ||
           type == fourcc("moof");
}

}  // namespace

bool read_audio_specific_config(const std::uint8_t* asc, std::size_t n, AacTrack& track) {
    if (n == 0 || n > kMaxEsdsBytes) return false;
    PaddedBytes storage;
    BitReader br;
    init_reader(br, storage, asc, n);
    const std::uint32_t bits = static_cast<std::uint32_t>(n * 8);
    unsigned aot = read_object_type(br);
    unsigned sf_index = 0, ext_index = 0;
    const std::uint32_t core_rate = read_rate(br, sf_index);
    const unsigned channel_config = get_bits(br, 4);
    std::uint32_t ext_rate = 0;
    bool sbr = false, ps = false;
    if (aot == 5 || aot == 29) {  // explicit SBR (and PS): the extension rate, then the core
        sbr = true;
        ps = aot == 29;
        ext_rate = read_rate(br, ext_index);
        aot = read_object_type(br);
    }
    if ((aot != 1 && aot != 2 && aot != 4) || sf_index > 12 || channel_config > 7) return false;
    if (get_bit(br) != 0) return false;       // frameLengthFlag: 960-sample frames
    if (get_bit(br) != 0) skip_bits(br, 14);  // dependsOnCoreCoder: coreCoderDelay
    if (get_bit(br) != 0) skip_bits(br, 1);   // extensionFlag: extensionFlag3
    if (processed_bits(br) > bits) return false;
    // Hierarchical signalling after the core config (not parsed past a program config element).
    if (!sbr && channel_config != 0 && bits - processed_bits(br) >= 16 && show_bits(br, 11) == 0x2B7) {
        skip_bits(br, 11);
        if (read_object_type(br) == 5 && get_bit(br) != 0) {
            std::uint32_t rate = read_rate(br, ext_index);
            bool ps_seen = false;
            if (bits >= processed_bits(br) + 12 && show_bits(br, 11) == 0x548) {
                skip_bits(br, 11);
                ps_seen = get_bit(br) != 0;
            }
            if (processed_bits(br) <= bits) {
                sbr = true;
                ps = ps_seen;
                ext_rate = rate;
            }
        }
    }
    track.object_type = static_cast<std::uint8_t>(aot);
    track.sf_index = static_cast<std::uint8_t>(sf_index);
    track.channel_config = static_cast<std::uint8_t>(channel_config);
    track.sbr = sbr;
    track.ps = ps;
    track.sample_rate = sbr && ext_rate != 0 ? ext_rate : core_rate;
    return true;
}

bool looks_like_iso_media(const std::uint8_t* head, std::size_t n) {
    if (n < 8) return false;
    const std::uint32_t size = be32(head);
    return (size == 0 || size == 1 || size >= 8) && first_box_type(be32(head + 4));
}

bool walk_container(const RandomReader& in, ContainerLayout& layout) {
    layout = ContainerLayout{};
    Walker w{in, layout, 0, false, false, {}, {}};
    // The top level: sizes chain to the end; a last box may run past it (a cut file).
    Box moov, b;
    bool have_moov = false;
    std::uint64_t pos = 0;
    unsigned top = 0;
    while (pos < in.size) {
        if (top > 0 && in.size - pos < 16) {  // a last header cut short by the end of the file
            std::uint8_t h[8];
            if (in.size - pos < 8 || !read_exact(in, pos, h, 8) || be32(h) == 1) break;
        }
        if (!read_box(w, pos, in.size, b)) {
            if (w.out_of_boxes) break;  // checked this far: what follows is not walked
            return false;
        }
        if (!printable_type(b.type) || (top == 0 && !first_box_type(b.type))) {
            layout = ContainerLayout{};
            return false;
        }
        if (top == 0 && (b.type == fourcc("ftyp") || b.type == fourcc("styp"))) {
            std::uint8_t brand[4];
            if (b.end - b.body >= 4 && read_exact(in, b.body, brand, 4)) std::memcpy(layout.brand, brand, 4);
        }
        if (b.type == fourcc("moov") && !have_moov) {
            moov = b;
            have_moov = true;
        }
        if (b.type == fourcc("moof")) layout.fragmented = true;
        ++top;
        pos = b.end;
    }
    if (top == 0) return false;
    layout.kind = ContainerKind::ISO_MEDIA;
    const std::uint64_t checked_end = pos;
    if (have_moov) read_moov(w, moov);
    for (const TrackTables& t : w.tracks) {
        take_track_samples(w, t);
        add_place_tables(w, t);
    }
    // A segment cut from a fragmented file (no index) names its tracks in its fragments only;
    // their frame context is for the caller to find.
    w.lone = layout.guessed_tracks = !have_moov && layout.fragmented;
    // The fragments, in file order; the top-level headers were counted once already.
    for (pos = 0; (have_moov || w.lone) && layout.fragmented && !w.out_of_boxes && !w.full && pos < checked_end &&
                  read_box(w, pos, in.size, b, false);
         pos = b.end)
        if (b.type == fourcc("moof")) read_moof(w, b);
    // Sorted by offset; of samples that overlap, the first is kept.
    std::vector<SampleExtent>& s = layout.samples;
    std::sort(s.begin(), s.end(), [](const SampleExtent& a, const SampleExtent& c) {
        if (a.offset != c.offset) return a.offset < c.offset;
        return a.track != c.track ? a.track < c.track : a.size < c.size;
    });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (kept == 0 || s[i].offset >= s[kept - 1].offset + s[kept - 1].size) s[kept++] = s[i];
    s.resize(kept);
    for (const SampleExtent& e : s) ++layout.tracks[e.track].samples;
    return true;
}
