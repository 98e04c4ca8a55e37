// MPEG transport streams as the packer splits them: the payload bytes of the packets of audio
// PIDs that carry ADTS (after any adaptation field and PES header) form one elementary stream,
// which the frame models code as an ADTS file; every other byte (packet headers, adaptation
// fields, PES headers, other PIDs' packets, bytes before the first packet or after the last
// whole one) forms the container stream. Which stream a byte belongs to follows from the
// container bytes before it and the chunk's list of PIDs alone, so merging the two streams
// back is the same walk with the roles turned round, and exact for any bytes whatever: a
// wrong PID or a damaged packet only costs size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr std::size_t kTsPacket = 188;
constexpr std::size_t kMaxTsPids = 8;

// How a chunk's bytes are laid out in packets: `lead` bytes before the first one, then packets
// of `packet_size` bytes (188, or 192 with a 4-byte prefix before each sync byte), the last
// partial one, if any, the container's bytes.
struct TsLayout {
    std::uint32_t lead = 0;
    std::uint16_t packet_size = kTsPacket;
    std::vector<std::uint16_t> pids;  // at most kMaxTsPids
    // The container stream holds what follows from what came before as the difference from it
    // (format version 6): of the listed PIDs' packets, the continuity counter against the last
    // one plus one, a PES packet's length against its header and the ADTS frame it starts
    // with, its time stamp against the last one stepped on by the last step, and the length of
    // an adaptation field that stuffs a PES packet's last packet against what the PES has left.
    bool derive = false;
    // The PES length is also predicted from a LOAS frame the elementary stream holds (format
    // version 7).
    bool loas_frames = false;
    // The bodies of other packets (after their 4-byte headers: another PID's, or one that is
    // not in sync, in error, scrambled or without payload) form a third stream, apart from the
    // headers, which then repeat with a period the container stream's coder sees (format
    // version 8).
    bool bodies_apart = false;
    // Format version 9: a PES packet's length is predicted from as many frames as the one before
    // of its PID held, and a packet that ends a PES packet stuffed as predicted (an adaptation
    // field of that length, its flags 0 and the rest 0xFF) keeps one byte in the container
    // stream for the whole field; any other field there keeps a byte before it as well.
    bool pes_frames = false;
};

// Where transport stream packets start in data[0..n): the first packet (its sync byte within
// the first 1 KiB) from which five packets in a row, of 188 or 192 bytes, hold 0x47 at their
// sync byte, and their size. False when there is none (fewer than five packets in a row).
bool find_ts_packets(const std::uint8_t* data, std::size_t n, std::size_t& first_packet, std::size_t& packet_size);

// The PIDs of data[0..n) (laid out as `layout` says, its pids ignored) whose packets start PES
// packets of ADTS frames (or, with_loas, of LOAS frames too): a PES header of an audio or
// private stream followed by an ADTS (or LOAS) syncword. At most kMaxTsPids, in order of their
// first such packet.
std::vector<std::uint16_t> find_adts_pids(const std::uint8_t* data, std::size_t n, const TsLayout& layout,
                                          bool with_loas = false);

// The bytes of data[0..n) that a split with bodies_apart sends to the other packets' bodies.
std::size_t other_packet_bodies(const std::uint8_t* data, std::size_t n, const TsLayout& layout);

// Splits data[0..n) into its container stream and elementary stream, and with bodies_apart the
// other packets' bodies into *bodies (each emptied first; bodies may be null otherwise).
void split_ts(const std::uint8_t* data, std::size_t n, const TsLayout& layout, std::vector<std::uint8_t>& container,
              std::vector<std::uint8_t>& elementary, std::vector<std::uint8_t>* bodies = nullptr);

// Merges the streams back into out[0..n); false when they do not make exactly n bytes, or
// there are bodies without bodies_apart.
bool merge_ts(const std::uint8_t* container, std::size_t container_size, const std::uint8_t* elementary,
              std::size_t elementary_size, const TsLayout& layout, std::uint8_t* out, std::size_t n,
              const std::uint8_t* bodies = nullptr, std::size_t bodies_size = 0);
