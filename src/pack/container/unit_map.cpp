// Units of inputs without ADTS headers: the box walk's AAC samples, or the raw data blocks of
// ADIF and headerless streams found by parsing one after another.
#include "pack/container/unit_map.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "pack/container/flv_walk.h"
#include "pack/container/mkv_walk.h"
#include "pack/frame/adts_frame.h"
#include "pack/format/chunk_units.h"
#include "pack/format/pack_stats.h"
#include "pack/frame/frame_syntax.h"
#include "aac/bit_reader.h"
#include "aac/program_config.h"

namespace {

constexpr std::size_t kAdifHeaderMax = 16u << 10;  // 16 program config elements with comments fit
constexpr std::size_t kScanBlock = 1u << 20;
// A headerless stream is taken as one only when this many raw data blocks in a row parse from
// its start (or all of a shorter one, ending exactly at its end).
constexpr std::size_t kRawProbeUnits = 8;
constexpr std::size_t kMaxStreamUnits = 1u << 20;

FrameContext context_of(const AacTrack& t) {
    FrameContext fc;
    fc.object_type = t.object_type;
    fc.sf_index = t.sf_index;
    return fc;
}

// Only for a unit that unit_fits.
UnitExtent extent(std::uint64_t offset, std::size_t size, const AacTrack& t, std::size_t track = 0) {
    UnitExtent u{};
    u.offset = offset;
    u.size = size;
    u.object_type = t.object_type;
    u.sf_index = t.sf_index;
    u.track = std::min<std::size_t>(track, kMaxUnitTracks - 1);
    return u;
}

long long read_at(const RandomReader& in, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    if (offset >= in.size) return 0;
    if (n > in.size - offset) n = static_cast<std::size_t>(in.size - offset);
    std::size_t got = 0;
    while (got < n) {
        const long long r = read_some_at(in, offset + got, buf + got, n - got);
        if (r <= 0) return r < 0 ? r : static_cast<long long>(got);
        got += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(got);
}

// The buffers of a scan: one record and one block of the input, shared by every attempt.
struct StreamScan {
    std::unique_ptr<FrameRecord> rec = std::make_unique<FrameRecord>();
    std::vector<std::uint8_t> block;
};

// Raw data blocks one after another from offset on, until one does not parse, the input ends
// or max_units are found. Returns false when reading failed.
bool scan_stream(StreamScan& scan, const RandomReader& in, std::uint64_t offset, const AacTrack& track,
                 std::size_t max_units, std::vector<UnitExtent>& units) {
    const FrameContext fc = context_of(track);
    if (scan.block.empty())
        scan.block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(in.size, kScanBlock)) + kMaxFrameBytes);
    std::vector<std::uint8_t>& block = scan.block;
    std::uint64_t block_at = offset;
    std::size_t have = 0;
    std::size_t pos = 0;
    while (units.size() < max_units) {
        if (have - pos < kMaxFrameBytes && block_at + have < in.size) {
            std::memmove(block.data(), block.data() + pos, have - pos);
            block_at += pos;
            have -= pos;
            pos = 0;
            const long long r = read_at(in, block_at + have, block.data() + have, block.size() - have);
            if (r < 0) return false;
            have += static_cast<std::size_t>(r);
        }
        if (pos >= have) break;
        const std::size_t length = access_unit_length(block.data() + pos, have - pos, fc, *scan.rec);
        if (length == 0 || !unit_fits(block_at + pos, length)) break;
        units.push_back(extent(block_at + pos, length, track));
        pos += length;
    }
    return true;
}

// The contexts a headerless stream is tried with: LC at the rates whose band tables differ,
// the commonest first, then Main and LTP.
constexpr std::uint8_t kProbeRates[] = {4, 3, 5, 7, 8, 11, 2, 0};

bool probe_raw(StreamScan& scan, const RandomReader& in, UnitPlan& plan) {
    for (std::uint8_t object_type : {LC_OBJECT, MAIN_OBJECT, LTP_OBJECT}) {
        for (std::uint8_t sf_index : kProbeRates) {
            AacTrack t;
            t.object_type = object_type;
            t.sf_index = sf_index;
            std::vector<UnitExtent> probe;
            if (!scan_stream(scan, in, 0, t, kRawProbeUnits, probe) || probe.empty()) continue;
            const UnitExtent& last = probe.back();
            if (probe.size() < kRawProbeUnits && last.offset + last.size != in.size) continue;
            plan.stream = t;
            return true;
        }
    }
    return false;
}

// The tracks of a segment without an index hold samples of unknown kind: a track is kept as AAC
// when its first samples (up to kRawProbeUnits) each parse as one whole access unit under one of
// the contexts a headerless stream is tried with, which it then takes; the others (video, or
// audio the models do not describe) and their samples are dropped.
void probe_guessed_tracks(StreamScan& scan, const RandomReader& in, ContainerLayout& layout) {
    std::vector<int> index(layout.tracks.size(), -1);
    std::vector<AacTrack> kept;
    std::vector<std::uint8_t> unit(kMaxFrameBytes + 8);
    for (std::size_t t = 0; t < layout.tracks.size(); ++t) {
        std::vector<const SampleExtent*> first;
        for (const SampleExtent& e : layout.samples)
            if (e.track == t && first.size() < kRawProbeUnits) first.push_back(&e);
        bool found = false;
        for (std::uint8_t object_type : {LC_OBJECT, MAIN_OBJECT, LTP_OBJECT}) {
            for (std::uint8_t sf_index : kProbeRates) {
                FrameContext fc;
                fc.object_type = object_type;
                fc.sf_index = sf_index;
                found = !first.empty();
                for (const SampleExtent* e : first) {
                    std::fill(unit.begin(), unit.end(), 0);
                    if (read_at(in, e->offset, unit.data(), e->size) != e->size ||
                        access_unit_length(unit.data(), e->size, fc, *scan.rec) != e->size) {
                        found = false;
                        break;
                    }
                }
                if (!found) continue;
                AacTrack track = layout.tracks[t];
                track.object_type = object_type;
                track.sf_index = sf_index;
                index[t] = static_cast<int>(kept.size());
                kept.push_back(track);
                break;
            }
            if (found) break;
        }
        if (!found) ++layout.other_tracks;
    }
    std::size_t n = 0;
    for (SampleExtent e : layout.samples) {
        if (index[e.track] < 0) continue;
        e.track = static_cast<std::uint16_t>(index[e.track]);
        layout.samples[n++] = e;
    }
    layout.samples.resize(n);
    for (AacTrack& t : kept) t.samples = 0;
    for (const SampleExtent& e : layout.samples) ++kept[e.track].samples;
    layout.tracks = std::move(kept);
}

// Whether the input starts like an ADTS stream (a frame, possibly behind an ID3v2 tag, whose
// successor is another frame or the end): such input keeps the ADTS path.
bool starts_like_adts(const std::uint8_t* head, std::size_t n, std::uint64_t size) {
    std::size_t pos = 0;
    if (n >= 10 && std::memcmp(head, "ID3", 3) == 0) {
        pos = 10 + ((std::size_t{head[6]} & 0x7F) << 21 | (std::size_t{head[7]} & 0x7F) << 14 |
                    (std::size_t{head[8]} & 0x7F) << 7 | (std::size_t{head[9]} & 0x7F));
        if (head[5] & 0x10) pos += 10;
    }
    for (std::size_t i = pos; i + 7 <= n && i < pos + 4096; ++i) {
        const std::size_t length = adts_frame_candidate(head + i, n - i);
        if (length == 0) continue;
        if (i + length == size || adts_frame_candidate(head + i + length, n - i - length) != 0) return true;
    }
    return false;
}

}  // namespace

bool parse_adif_header(const std::uint8_t* data, std::size_t size, std::size_t& length, AacTrack& track) {
    if (size < 4 || std::memcmp(data, "ADIF", 4) != 0) return false;
    PaddedBytes padded;
    const std::size_t n = std::min(size, kAdifHeaderMax);
    BitReader br;
    init_reader(br, padded, data, n);
    AdifHeader adif;
    if (!read_adif_header(br, adif) || processed_bits(br) > n * 8) return false;
    track.object_type = static_cast<std::uint8_t>(adif.first_pce.object_type + 1);
    track.sf_index = adif.first_pce.sampling_frequency_index;
    length = processed_bits(br) / 8;
    return track.sf_index <= 12;
}

bool starts_like_container_or_adif(const std::uint8_t* head, std::size_t n) {
    return looks_like_iso_media(head, n) || looks_like_flv(head, n) || looks_like_matroska(head, n) ||
           (n >= 4 && std::memcmp(head, "ADIF", 4) == 0);
}

bool may_hold_units(const std::uint8_t* head, std::size_t n, std::uint64_t size) {
    return starts_like_container_or_adif(head, n) || !starts_like_adts(head, n, size);
}

namespace {

// The units of a container's layout: unit k is sample k, up to the first sample that cannot be
// one (sorted by offset, no later sample would fit either); then each size table in stretches
// whose entries name consecutive units.
void take_layout_units(UnitPlan& plan) {
    plan.units.reserve(plan.layout.samples.size());
    for (const SampleExtent& s : plan.layout.samples) {
        if (s.track >= plan.layout.tracks.size() || !unit_fits(s.offset, s.size)) break;
        plan.units.push_back(extent(s.offset, s.size, plan.layout.tracks[s.track], s.track));
    }
    // The units that name an entry, by track and entry. A table may hold far more entries than
    // samples were taken (the box's size bounds it, not the sample limit): only the entries of
    // taken units are looked at.
    const std::vector<SampleExtent>& samples = plan.layout.samples;
    const auto key = [&](std::uint32_t k) { return std::uint64_t{samples[k].track} << 32 | samples[k].entry; };
    std::vector<std::uint32_t> named;  // units, by track and entry
    for (std::size_t k = 0; k < plan.units.size(); ++k)
        if (samples[k].entry != kNoSizeEntry) named.push_back(static_cast<std::uint32_t>(k));
    std::sort(named.begin(), named.end(), [&](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
    for (const SizeTable& table : plan.layout.size_tables) {
        SizeRun r;
        const std::uint64_t first = std::uint64_t{table.track} << 32 | table.first_entry;
        auto it = std::lower_bound(named.begin(), named.end(), first,
                                   [&](std::uint32_t k, std::uint64_t v) { return key(k) < v; });
        for (; it != named.end() && key(*it) - first < table.count && key(*it) >= first; ++it) {
            const std::uint32_t j = samples[*it].entry - table.first_entry;
            const bool extends = r.count != 0 && *it == r.first_unit + r.count &&
                                 table.offset + 4 * std::uint64_t{j} == r.offset + 4 * std::uint64_t{r.count};
            if (r.count != 0 && !extends) {
                plan.size_runs.push_back(r);
                r.count = 0;
            }
            if (r.count == 0) {
                r.offset = table.offset + 4 * std::uint64_t{j};
                r.first_unit = *it;
            }
            ++r.count;
        }
        if (r.count != 0) plan.size_runs.push_back(r);
    }
    if (!plan.units.empty())
        for (const PlaceTable& table : plan.layout.place_tables)
            plan.size_runs.push_back({table.offset, table.count, 0, table.sizes ? RUN_OTHER_SIZES : RUN_CHUNK_OFFSETS});
    std::vector<PlaceTable>().swap(plan.layout.place_tables);
    std::sort(plan.size_runs.begin(), plan.size_runs.end(),
              [](const SizeRun& a, const SizeRun& b) { return a.offset < b.offset; });
    // The units are all the packer needs of the samples: their memory goes back now.
    std::vector<SampleExtent>().swap(plan.layout.samples);
}

}  // namespace

void map_units(const RandomReader& in, UnitPlan& plan) {
    plan = UnitPlan{};
    std::uint8_t head[kUnitMapHead];
    const long long got = read_at(in, 0, head, sizeof head);
    if (got <= 0) return;
    const std::size_t n = static_cast<std::size_t>(got);
    if (looks_like_iso_media(head, n)) {
        if (!walk_container(in, plan.layout)) return;
        plan.source = UnitSource::ISO_MEDIA;
        if (plan.layout.guessed_tracks) {
            StreamScan scan;
            probe_guessed_tracks(scan, in, plan.layout);
        }
        take_layout_units(plan);
        return;
    }
    if (looks_like_flv(head, n)) {
        if (!walk_flv(in, plan.layout)) return;
        plan.source = UnitSource::FLV;
        take_layout_units(plan);
        return;
    }
    if (looks_like_matroska(head, n)) {
        if (!walk_matroska(in, plan.layout)) return;
        plan.source = UnitSource::MATROSKA;
        take_layout_units(plan);
        return;
    }
    std::size_t header = 0;
    AacTrack track;
    if (parse_adif_header(head, n, header, track)) {
        if (track.object_type == SSR_OBJECT) return;
        plan.stream = track;
        StreamScan scan;
        if (!scan_stream(scan, in, header, track, kMaxStreamUnits, plan.units)) plan.units.clear();
        if (!plan.units.empty()) plan.source = UnitSource::ADIF;
        return;
    }
    if (starts_like_adts(head, n, in.size)) return;
    StreamScan scan;
    if (!probe_raw(scan, in, plan)) return;
    if (!scan_stream(scan, in, 0, plan.stream, kMaxStreamUnits, plan.units)) plan.units.clear();
    if (!plan.units.empty()) plan.source = UnitSource::RAW;
}

namespace {

const char* object_name(std::uint8_t object_type) {
    switch (object_type) {
    case MAIN_OBJECT: return "Main";
    case LC_OBJECT: return "LC";
    case LTP_OBJECT: return "LTP";
    default: return "AAC";
    }
}

std::string rate_text(std::uint32_t rate) {
    char text[32];
    if (rate % 1000 == 0) {
        std::snprintf(text, sizeof text, "%u kHz", static_cast<unsigned>(rate / 1000));
    } else {
        std::snprintf(text, sizeof text, "%.*f kHz", rate % 100 == 0 ? 1 : 2, rate / 1000.0);
    }
    return text;
}

std::string channels_text(std::uint8_t config) {
    static constexpr const char* kNames[8] = {"", "mono", "stereo", "3 channels", "4 channels",
                                              "5 channels", "5.1", "7.1"};
    return config < 8 ? kNames[config] : "";
}

std::string track_text(const AacTrack& t) {
    std::string text = std::string(object_name(t.object_type));
    if (t.ps) {
        text = "HE-AACv2";
    } else if (t.sbr) {
        text = "HE-AAC";
    }
    std::uint32_t rate = t.sample_rate;
    if (rate == 0 && t.sf_index < 13) rate = static_cast<std::uint32_t>(sample_rate_of(t.sf_index));
    if (rate != 0) text += ", " + rate_text(rate);
    const std::string channels = channels_text(t.channel_config);
    if (!channels.empty()) text += ", " + channels;
    return text;
}

// "FLV, 1 AAC stream (LC, 44.1 kHz, stereo), video beside it, ...": an FLV file has one audio
// stream, described by its first configuration.
std::string describe_flv(const ContainerLayout& l, const std::string& units) {
    std::string text = "FLV, ";
    text += l.tracks.empty() ? "no AAC stream it could read" : "1 AAC stream (" + track_text(l.tracks[0]) + ")";
    if (l.other_tracks != 0) text += ", video beside it";
    return text + ", " + units;
}

// "MP4, 1 AAC track (LC, 44.1 kHz, stereo), 1 other track, ..." and the like.
std::string describe_tracks(const std::string& kind, const ContainerLayout& l, const std::string& units) {
    if (l.tracks.empty()) return kind + ", no AAC track it could read";
    std::string text = kind + ", " + std::to_string(l.tracks.size()) + (l.tracks.size() == 1 ? " AAC track" : " AAC tracks");
    if (l.tracks.size() == 1) text += " (" + track_text(l.tracks[0]) + ")";
    if (l.other_tracks != 0)
        text += ", " + std::to_string(l.other_tracks) + (l.other_tracks == 1 ? " other track" : " other tracks");
    return text + ", " + units;
}

}  // namespace

std::string describe_units(const UnitPlan& plan, std::uint64_t modelled) {
    const std::string units = with_thousands(modelled) + (modelled == 1 ? " access unit" : " access units");
    switch (plan.source) {
    case UnitSource::NONE:
        return "";
    case UnitSource::ADIF:
        return "ADIF (" + track_text(plan.stream) + "), " + units;
    case UnitSource::RAW:
        return "raw AAC (" + track_text(plan.stream) + "), " + units;
    case UnitSource::FLV:
        return describe_flv(plan.layout, units);
    case UnitSource::MATROSKA:
        return describe_tracks(std::string(plan.layout.brand) == "webm" ? "WebM" : "Matroska", plan.layout, units);
    case UnitSource::ISO_MEDIA:
        break;
    }
    const ContainerLayout& l = plan.layout;
    std::string brand(l.brand);
    std::string kind = "MP4";
    if (brand == "qt  ") kind = "MOV";
    if (brand.rfind("3g", 0) == 0) kind = "3GP";
    if (l.fragmented) kind = "fragmented " + kind;
    if (l.guessed_tracks) {  // the rate and channels are in the index this segment lacks
        ContainerLayout shown = l;
        for (AacTrack& t : shown.tracks) t.sf_index = 15;  // shown without a rate
        return describe_tracks("MP4 segment", shown, units);
    }
    return describe_tracks(kind, l, units);
}

namespace {

AacTrack adts_track(const std::uint8_t* header) {
    AacTrack t;
    t.object_type = static_cast<std::uint8_t>((header[2] >> 6) + 1);  // the profile, an object type less one
    t.sf_index = static_cast<std::uint8_t>(adts_sf_index(header));
    t.channel_config = static_cast<std::uint8_t>((header[2] & 1) << 2 | header[3] >> 6);
    return t;
}

}  // namespace

std::string describe_ts(std::uint64_t streams, const std::uint8_t* header, bool latm, std::uint64_t modelled) {
    if (streams == 0) return "MPEG-TS, no AAC stream it could read";
    std::string text = "MPEG-TS, " + std::to_string(streams) + (streams == 1 ? " AAC stream" : " AAC streams");
    const std::string form = latm ? "LATM" : "ADTS";
    if (header != nullptr)
        text += (streams == 1 ? " (" + form + ", " : " (the first " + form + ", ") + track_text(adts_track(header)) + ")";
    return text + ", " + with_thousands(modelled) + (modelled == 1 ? " access unit" : " access units");
}

std::string describe_loas(const std::uint8_t* header, std::uint64_t modelled) {
    return "LOAS/LATM (" + track_text(adts_track(header)) + "), " + with_thousands(modelled) +
           (modelled == 1 ? " access unit" : " access units");
}

std::string describe_adts(const std::uint8_t* header, std::uint64_t frames, std::uint64_t modelled, LzmaUse lzma) {
    const AacTrack t = adts_track(header);
    const char* stored = lzma == LzmaUse::NONE   ? ", stored with zstd"
                         : lzma == LzmaUse::ONLY ? ", stored with LZMA2"
                                                 : ", stored with zstd and LZMA2";
    return "ADTS (" + track_text(t) + "), " + with_thousands(frames) + (frames == 1 ? " frame" : " frames") +
           (modelled == 0 ? stored : "");
}
