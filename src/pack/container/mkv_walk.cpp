// The EBML walk: element headers (an ID and a size, each a variable-length integer) read
// through one moving window; only the path EBML header -> Segment -> Tracks/Cluster ->
// BlockGroup -> Block is entered, so the depth is fixed by the code, not by the file.
#include "pack/container/mkv_walk.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "pack/container/read_window.h"

namespace {

constexpr std::uint32_t kEbml = 0x1A45DFA3, kDocType = 0x4282;
constexpr std::uint32_t kSegment = 0x18538067, kSeekHead = 0x114D9B74, kInfo = 0x1549A966, kTracks = 0x1654AE6B,
                        kCluster = 0x1F43B675, kCues = 0x1C53BB6B, kAttachments = 0x1941A469,
                        kChapters = 0x1043A770, kTags = 0x1254C367;
constexpr std::uint32_t kTrackEntry = 0xAE, kTrackNumber = 0xD7, kCodecId = 0x86, kCodecPrivate = 0x63A2,
                        kContentEncodings = 0x6D80;
constexpr std::uint32_t kSimpleBlock = 0xA3, kBlockGroup = 0xA0, kBlock = 0xA1;
// Read whole at most: an EBML header, a CodecID, the start of a CodecPrivate.
constexpr std::size_t kMaxHeaderBytes = 4096, kMaxCodecIdBytes = 64, kMaxConfigBytes = 64;
constexpr unsigned kMaxLacedFrames = 256;

struct Element {
    std::uint32_t id = 0;
    std::uint64_t body = 0;
    std::uint64_t end = 0;  // one past its last byte, never past its parent's; its parent's end when unknown
    bool unknown_size = false;
    bool cut = false;  // its size runs past its parent's end
};

struct AacEntry {
    std::uint64_t number = 0;  // TrackNumber
    std::uint16_t track = 0;   // index into layout.tracks
};

struct MkvWalker {
    const RandomReader& in;
    ContainerLayout& layout;
    std::unique_ptr<ReadWindow> window = std::make_unique<ReadWindow>();
    std::size_t elements = 0;
    std::vector<AacEntry> aac;  // the modelled tracks by number
    std::uint64_t taken_end = 0;  // one past the last sample taken
};

// A variable-length integer at p[0..n): its length (0 when there is none) and value; an ID
// keeps its length marker, a size loses it.
unsigned read_vint(const std::uint8_t* p, std::size_t n, bool keep_marker, std::uint64_t& value) {
    if (n == 0 || p[0] == 0) return 0;
    unsigned length = 1;
    while ((p[0] & (0x80u >> (length - 1))) == 0) ++length;
    if (length > n) return 0;
    value = keep_marker ? p[0] : p[0] & (0xFFu >> length);
    for (unsigned i = 1; i < length; ++i) value = value << 8 | p[i];
    return length;
}

// The element at pos, within [pos, end). False when no header fits there or the budget is spent.
bool read_element(MkvWalker& w, std::uint64_t pos, std::uint64_t end, Element& e) {
    if (pos >= end || w.elements >= kMkvMaxElements) return false;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(12, end - pos));
    const std::uint8_t* p = window_at(*w.window, pos, n);
    if (p == nullptr) return false;
    ++w.elements;
    std::uint64_t id = 0, size = 0;
    const unsigned id_length = read_vint(p, n, true, id);
    if (id_length == 0 || id_length > 4) return false;
    const unsigned size_length = read_vint(p + id_length, n - id_length, false, size);
    if (size_length == 0) return false;
    e.id = static_cast<std::uint32_t>(id);
    e.body = pos + id_length + size_length;
    e.unknown_size = size == (std::uint64_t{1} << (7 * size_length)) - 1;
    e.cut = !e.unknown_size && size > end - e.body;
    e.end = e.unknown_size || e.cut ? end : e.body + size;
    return true;
}

// Whether an element has a known size that lies whole within its parent.
bool whole(const Element& e) { return !e.unknown_size && !e.cut; }

std::uint64_t read_uint(MkvWalker& w, const Element& e) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(8, e.end - e.body));
    const std::uint8_t* p = window_at(*w.window, e.body, n);
    std::uint64_t v = 0;
    for (std::size_t i = 0; p != nullptr && i < n; ++i) v = v << 8 | p[i];
    return v;
}

bool segment_level(std::uint32_t id) {
    return id == kCluster || id == kCues || id == kTracks || id == kSeekHead || id == kInfo || id == kTags ||
           id == kChapters || id == kAttachments;
}

void read_track_entry(MkvWalker& w, const Element& entry) {
    std::uint64_t number = 0;
    bool encoded = false, aac = false, modelled = false;
    AacTrack config;
    Element e;
    for (std::uint64_t pos = entry.body; read_element(w, pos, entry.end, e) && !e.unknown_size; pos = e.end) {
        const std::size_t n = static_cast<std::size_t>(e.end - e.body);
        if (e.id == kTrackNumber) number = read_uint(w, e);
        if (e.id == kContentEncodings) encoded = true;  // compressed or encrypted frames: not access units as they lie
        if (e.id == kCodecId && n >= 5 && n <= kMaxCodecIdBytes) {
            const std::uint8_t* p = window_at(*w.window, e.body, n);
            aac = p != nullptr && std::memcmp(p, "A_AAC", 5) == 0;
        }
        if (e.id == kCodecPrivate) {
            const std::size_t m = std::min(n, kMaxConfigBytes);
            const std::uint8_t* p = window_at(*w.window, e.body, m);
            modelled = p != nullptr && read_audio_specific_config(p, m, config);
        }
    }
    const bool known = std::any_of(w.aac.begin(), w.aac.end(), [&](const AacEntry& a) { return a.number == number; });
    if (!aac || !modelled || encoded || number == 0 || known || w.layout.tracks.size() >= kWalkMaxTracks) {
        ++w.layout.other_tracks;
        return;
    }
    config.track_id = static_cast<std::uint32_t>(number);
    w.aac.push_back({number, static_cast<std::uint16_t>(w.layout.tracks.size())});
    w.layout.tracks.push_back(config);
}

void take_frame(MkvWalker& w, std::uint64_t offset, std::uint64_t size, std::uint16_t track) {
    if (size == 0 || size > kWalkMaxSampleBytes || offset < w.taken_end || w.layout.samples.size() >= kWalkMaxSamples)
        return;
    w.layout.samples.push_back({offset, kNoSizeEntry, static_cast<std::uint16_t>(size), track});
    ++w.layout.tracks[track].samples;
    w.taken_end = offset + size;
}

// The frames of a block that lies whole in [block.body, block.end): its track number, a 16-bit
// timecode, flags, then the lace sizes when laced. A block whose lacing does not add up is
// carried as bytes.
void take_block(MkvWalker& w, const Element& block) {
    const std::uint64_t end = block.end;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(12, end - block.body));
    const std::uint8_t* p = window_at(*w.window, block.body, n);
    std::uint64_t number = 0;
    const unsigned length = p == nullptr ? 0 : read_vint(p, n, false, number);
    if (length == 0 || n < length + 3u) return;
    const auto entry = std::find_if(w.aac.begin(), w.aac.end(), [&](const AacEntry& a) { return a.number == number; });
    if (entry == w.aac.end()) return;
    const unsigned lacing = (p[length + 2] >> 1) & 3;
    std::uint64_t pos = block.body + length + 3;
    if (lacing == 0) {
        take_frame(w, pos, end - pos, entry->track);
        return;
    }
    const std::uint8_t* c = window_at(*w.window, pos, 1);
    if (c == nullptr) return;
    const unsigned count = c[0] + 1u;
    ++pos;
    std::uint64_t sizes[kMaxLacedFrames];
    std::uint64_t total = 0;
    for (unsigned i = 0; i + 1 < count; ++i) {
        std::uint64_t size = 0;
        if (lacing == 1) {  // Xiph: bytes of 255 then one below, summed
            for (;;) {
                const std::uint8_t* b = window_at(*w.window, pos, 1);
                if (b == nullptr || pos >= end) return;
                ++pos;
                size += b[0];
                if (b[0] != 255) break;
            }
        } else if (lacing == 3) {  // EBML: the first size, then signed differences
            const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(8, end - pos));
            const std::uint8_t* b = window_at(*w.window, pos, m);
            std::uint64_t raw = 0;
            const unsigned l = b == nullptr ? 0 : read_vint(b, m, false, raw);
            if (l == 0) return;
            pos += l;
            if (i == 0) {
                size = raw;
            } else {
                const std::int64_t bias = (std::int64_t{1} << (7 * l - 1)) - 1;
                const std::int64_t next = static_cast<std::int64_t>(sizes[i - 1]) + (static_cast<std::int64_t>(raw) - bias);
                if (next < 0) return;
                size = static_cast<std::uint64_t>(next);
            }
        } else {  // fixed: every frame the same share of what follows the count
            if ((end - pos) % count != 0) return;
            size = (end - pos) / count;
        }
        if (pos > end || size > end - pos - total) return;
        sizes[i] = size;
        total += size;
    }
    if (pos > end || total > end - pos) return;
    sizes[count - 1] = end - pos - total;
    for (unsigned i = 0; i < count; ++i) {
        take_frame(w, pos, sizes[i], entry->track);
        pos += sizes[i];
    }
}

// The blocks of a cluster; returns where the walk goes on. A cluster of unknown size ends at
// the first element of the segment's level.
std::uint64_t walk_cluster(MkvWalker& w, const Element& cluster) {
    Element e;
    std::uint64_t pos = cluster.body;
    while (read_element(w, pos, cluster.end, e)) {
        if (cluster.unknown_size && segment_level(e.id)) return pos;
        if (!whole(e)) return cluster.end;  // a cut block is the container's bytes
        if (e.id == kSimpleBlock) take_block(w, e);
        if (e.id == kBlockGroup) {
            Element b;
            for (std::uint64_t at = e.body; read_element(w, at, e.end, b) && whole(b); at = b.end)
                if (b.id == kBlock) take_block(w, b);
        }
        pos = e.end;
    }
    return cluster.end;
}

void walk_segment(MkvWalker& w, const Element& segment) {
    Element e;
    std::uint64_t pos = segment.body;
    while (w.layout.samples.size() < kWalkMaxSamples && read_element(w, pos, segment.end, e)) {
        if (e.id == kCluster) {
            pos = walk_cluster(w, e);
            continue;
        }
        if (e.unknown_size) return;  // where it ends is not known
        if (e.id == kTracks) {
            Element t;
            for (std::uint64_t at = e.body; read_element(w, at, e.end, t) && whole(t); at = t.end)
                if (t.id == kTrackEntry) read_track_entry(w, t);
        }
        pos = e.end;
    }
}

bool read_doc_type(MkvWalker& w, const Element& header, char (&brand)[5]) {
    Element e;
    for (std::uint64_t pos = header.body; read_element(w, pos, header.end, e) && whole(e); pos = e.end) {
        if (e.id != kDocType) continue;
        const std::size_t n = static_cast<std::size_t>(e.end - e.body);
        const std::uint8_t* p = window_at(*w.window, e.body, n);
        if (p == nullptr) return false;
        std::size_t length = n;
        while (length > 0 && p[length - 1] == 0) --length;  // a string may be padded with zeros
        if (length == 4 && std::memcmp(p, "webm", 4) == 0) {
            std::memcpy(brand, "webm", 4);
            return true;
        }
        return length == 8 && std::memcmp(p, "matroska", 8) == 0;
    }
    return true;  // the DocType's default
}

}  // namespace

bool looks_like_matroska(const std::uint8_t* head, std::size_t n) {
    return n >= 4 && head[0] == 0x1A && head[1] == 0x45 && head[2] == 0xDF && head[3] == 0xA3;
}

bool walk_matroska(const RandomReader& in, ContainerLayout& layout) {
    layout = ContainerLayout{};
    MkvWalker w{in, layout, std::make_unique<ReadWindow>(), 0, {}, 0};
    w.window->in = &in;
    Element header;
    if (!read_element(w, 0, in.size, header) || header.id != kEbml || !whole(header) ||
        header.end - header.body > kMaxHeaderBytes || !read_doc_type(w, header, layout.brand)) {
        layout = ContainerLayout{};
        return false;
    }
    layout.kind = ContainerKind::MATROSKA;
    Element e;
    for (std::uint64_t pos = header.end; read_element(w, pos, in.size, e); pos = e.end) {
        if (e.id == kSegment) walk_segment(w, e);
        if (e.unknown_size) break;
    }
    return true;
}
