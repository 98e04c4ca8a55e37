// The FLV tag walk: a file header, then tags one after another, each an 11-byte header, its
// body and a 4-byte size of the tag before. Tag headers are read through one window that moves
// with the walk, so a file of any length costs one small buffer.
#include "pack/container/flv_walk.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "pack/container/read_window.h"

namespace {

constexpr std::size_t kFlvHeaderBytes = 9;
constexpr std::size_t kTagHeaderBytes = 11;
constexpr std::size_t kPreviousTagSizeBytes = 4;
constexpr std::uint8_t kAudioTag = 8, kVideoTag = 9, kScriptTag = 18;
constexpr unsigned kSoundFormatAac = 10;
constexpr std::uint8_t kAacSequenceHeader = 0, kAacRaw = 1;
// An AudioSpecificConfig longer than this is read only this far (the frame context lies in
// its first bytes; real ones are 2 to 7 bytes).
constexpr std::size_t kMaxConfigBytes = 64;

std::uint32_t be24(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2]; }
std::uint32_t be32(const std::uint8_t* p) { return (be24(p) << 8) | p[3]; }

// The index in layout.tracks of a configuration, added when new (none past kWalkMaxTracks).
int track_of(ContainerLayout& layout, const AacTrack& config) {
    for (std::size_t i = 0; i < layout.tracks.size(); ++i) {
        const AacTrack& t = layout.tracks[i];
        if (t.object_type == config.object_type && t.sf_index == config.sf_index &&
            t.channel_config == config.channel_config && t.sbr == config.sbr && t.ps == config.ps &&
            t.sample_rate == config.sample_rate)
            return static_cast<int>(i);
    }
    if (layout.tracks.size() >= kWalkMaxTracks) return -1;
    layout.tracks.push_back(config);
    return static_cast<int>(layout.tracks.size() - 1);
}

}  // namespace

bool looks_like_flv(const std::uint8_t* head, std::size_t n) {
    return n >= kFlvHeaderBytes && std::memcmp(head, "FLV", 3) == 0 && head[3] == 1 &&
           be32(head + 5) >= kFlvHeaderBytes;
}

bool walk_flv(const RandomReader& in, ContainerLayout& layout) {
    layout = ContainerLayout{};
    auto window = std::make_unique<ReadWindow>();
    window->in = &in;
    const std::uint8_t* h = window_at(*window, 0, kFlvHeaderBytes);
    if (h == nullptr || !looks_like_flv(h, kFlvHeaderBytes)) return false;
    layout.kind = ContainerKind::FLV;
    int current = -1;  // the track of the last AAC sequence header, -1 before one or after one not modelled
    std::uint64_t pos = std::uint64_t{be32(h + 5)} + kPreviousTagSizeBytes;
    for (std::size_t tags = 0; tags < kFlvMaxTags && layout.samples.size() < kWalkMaxSamples; ++tags) {
        const std::uint8_t* tag = window_at(*window, pos, kTagHeaderBytes);
        if (tag == nullptr) break;
        const unsigned type = tag[0] & 0x1F;
        const bool encrypted = (tag[0] & 0x20) != 0;
        const std::uint64_t body = pos + kTagHeaderBytes;
        const std::uint32_t size = be24(tag + 1);
        if ((tag[0] & 0xC0) != 0 || (type != kAudioTag && type != kVideoTag && type != kScriptTag) ||
            size > in.size - body)
            break;
        if (type == kVideoTag) layout.other_tracks = 1;
        const std::uint8_t* audio = type == kAudioTag && !encrypted && size >= 2 ? window_at(*window, body, 2) : nullptr;
        if (audio != nullptr && audio[0] >> 4 == kSoundFormatAac) {
            const std::uint8_t packet = audio[1];
            if (packet == kAacSequenceHeader) {
                const std::size_t n = std::min<std::size_t>(size - 2, kMaxConfigBytes);
                const std::uint8_t* asc = window_at(*window, body + 2, n);
                AacTrack config;
                current = asc != nullptr && read_audio_specific_config(asc, n, config) ? track_of(layout, config) : -1;
            } else if (packet == kAacRaw && current >= 0 && size > 2 && size - 2 <= kWalkMaxSampleBytes) {
                layout.samples.push_back({body + 2, kNoSizeEntry, static_cast<std::uint16_t>(size - 2),
                                          static_cast<std::uint16_t>(current)});
                ++layout.tracks[static_cast<std::size_t>(current)].samples;
            }
        }
        pos = body + size + kPreviousTagSizeBytes;
    }
    return true;
}
