// The split of transport stream packets: one walk decides, byte range by byte range, whether
// bytes are the container's or the elementary stream's, reading only bytes already placed.
#include "pack/container/ts_packets.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint8_t kSync = 0x47;
constexpr std::size_t kPesHeader = 9;  // start code, stream id, length, flags, header data length
constexpr std::size_t kMinPacketsInARow = 5;
constexpr std::size_t kSyncSearch = 1024;

enum Stream { CONTAINER, ELEMENTARY };

unsigned pid_of(const std::uint8_t* h) { return (unsigned{h[1]} & 0x1F) << 8 | h[2]; }

bool listed(const TsLayout& layout, unsigned pid) {
    return std::find(layout.pids.begin(), layout.pids.end(), pid) != layout.pids.end();
}

// Walks buf[0..n): take(stream, count) places the next count bytes (at the walk's position) in
// a stream and returns false when it cannot; bytes of buf before the position are in place when
// the walk reads them. Returns false when a take failed.
template <typename Take>
bool walk_packets(const std::uint8_t* buf, std::size_t n, const TsLayout& layout, Take&& take) {
    std::size_t pos = std::min<std::size_t>(layout.lead, n);
    if (!take(CONTAINER, pos)) return false;
    const std::size_t prefix = layout.packet_size - kTsPacket;
    const auto to = [&](Stream s, std::size_t count) {
        if (!take(s, count)) return false;
        pos += count;
        return true;
    };
    while (pos < n) {
        if (n - pos < layout.packet_size) return to(CONTAINER, n - pos);
        if (!to(CONTAINER, prefix + 4)) return false;
        const std::uint8_t* h = buf + pos - 4;
        std::size_t rest = kTsPacket - 4;
        // A packet that is not in sync, flagged as in error, scrambled, without payload or of
        // another PID is the container's whole.
        if (h[0] != kSync || (h[1] & 0x80) != 0 || (h[3] & 0xC0) != 0 || (h[3] & 0x10) == 0 ||
            !listed(layout, pid_of(h))) {
            if (!to(CONTAINER, rest)) return false;
            continue;
        }
        const bool unit_start = (h[1] & 0x40) != 0;
        if ((h[3] & 0x20) != 0) {  // an adaptation field: its length, then its bytes
            if (!to(CONTAINER, 1)) return false;
            const std::size_t length = buf[pos - 1];
            --rest;
            if (length > rest) {
                if (!to(CONTAINER, rest)) return false;
                continue;
            }
            if (!to(CONTAINER, length)) return false;
            rest -= length;
        }
        if (unit_start) {  // a PES header, when one whole fits before the payload
            if (rest < kPesHeader) {
                if (!to(CONTAINER, rest)) return false;
                continue;
            }
            if (!to(CONTAINER, kPesHeader)) return false;
            const std::uint8_t* p = buf + pos - kPesHeader;
            rest -= kPesHeader;
            if (p[0] != 0 || p[1] != 0 || p[2] != 1 || p[8] > rest) {
                if (!to(CONTAINER, rest)) return false;
                continue;
            }
            if (!to(CONTAINER, p[8])) return false;
            rest -= p[8];
        }
        if (!to(ELEMENTARY, rest)) return false;
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

std::vector<std::uint16_t> find_adts_pids(const std::uint8_t* data, std::size_t n, const TsLayout& layout) {
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
        if (pos + 2 > kTsPacket || h[pos] != 0xFF || (h[pos + 1] & 0xF6) != 0xF0) continue;
        const std::uint16_t pid = static_cast<std::uint16_t>(pid_of(h));
        if (std::find(pids.begin(), pids.end(), pid) == pids.end()) pids.push_back(pid);
    }
    return pids;
}

void split_ts(const std::uint8_t* data, std::size_t n, const TsLayout& layout, std::vector<std::uint8_t>& container,
              std::vector<std::uint8_t>& elementary) {
    container.clear();
    elementary.clear();
    std::size_t pos = 0;
    walk_packets(data, n, layout, [&](Stream s, std::size_t count) {
        std::vector<std::uint8_t>& to = s == CONTAINER ? container : elementary;
        to.insert(to.end(), data + pos, data + pos + count);
        pos += count;
        return true;
    });
}

bool merge_ts(const std::uint8_t* container, std::size_t container_size, const std::uint8_t* elementary,
              std::size_t elementary_size, const TsLayout& layout, std::uint8_t* out, std::size_t n) {
    if (container_size > n || elementary_size != n - container_size) return false;
    std::size_t pos = 0, c = 0, e = 0;
    const bool whole = walk_packets(out, n, layout, [&](Stream s, std::size_t count) {
        const std::uint8_t* from = s == CONTAINER ? container : elementary;
        std::size_t& at = s == CONTAINER ? c : e;
        const std::size_t size = s == CONTAINER ? container_size : elementary_size;
        if (count > size - at || count > n - pos) return false;
        if (count != 0) std::memcpy(out + pos, from + at, count);
        at += count;
        pos += count;
        return true;
    });
    return whole && pos == n && c == container_size && e == elementary_size;
}
