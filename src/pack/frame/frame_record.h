// The lossless record of one ADTS frame as the packed form sees it: every value of the frame
// in the order the syntax walk meets it, kept in four sequences (plain fields, scale-factor
// codeword indices, spectral values, payload bytes). Whatever the frame holds comes back from
// these sequences bit for bit; the frame length alone is left out, since the writer derives it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The kinds of plain field the walk meets; each has its own adaptive model.
enum FieldKind : std::uint8_t {
    K_SYNCWORD = 0, K_ID, K_LAYER, K_PROTECTION_ABSENT, K_PROFILE, K_SF_INDEX, K_PRIVATE_BIT,
    K_CHANNEL_CONFIG, K_ORIGINAL_COPY, K_HOME, K_COPYRIGHT_BIT, K_COPYRIGHT_START, K_BUFFER_FULLNESS,
    K_RAW_BLOCKS, K_CRC,
    K_ELEMENT_ID, K_ELEMENT_TAG, K_COMMON_WINDOW, K_MS_MASK_PRESENT, K_MS_USED,
    K_GLOBAL_GAIN, K_ICS_RESERVED, K_WINDOW_SEQUENCE, K_WINDOW_SHAPE, K_MAX_SFB_SHORT, K_MAX_SFB_LONG,
    K_SF_GROUPING, K_PREDICTOR_PRESENT, K_PREDICTOR_RESET, K_PREDICTOR_RESET_GROUP, K_PREDICTION_USED,
    K_LTP_PRESENT, K_LTP_LAG, K_LTP_COEF, K_LTP_SHORT_USED, K_LTP_SHORT_LAG_PRESENT, K_LTP_SHORT_LAG,
    K_LTP_LONG_USED,
    K_SECT_CB, K_SECT_LEN_LONG, K_SECT_LEN_SHORT, K_NOISE_PCM,
    K_PULSE_PRESENT, K_PULSE_NUMBER, K_PULSE_START, K_PULSE_OFFSET, K_PULSE_AMP,
    K_TNS_PRESENT, K_TNS_N_FILT, K_TNS_COEF_RES, K_TNS_LENGTH, K_TNS_ORDER, K_TNS_DIRECTION,
    K_TNS_COMPRESS, K_TNS_COEF, K_GAIN_CONTROL_PRESENT,
    K_FILL_COUNT, K_FILL_ESC, K_DSE_ALIGN_FLAG, K_DSE_COUNT, K_DSE_ESC, K_PCE, K_ALIGN_BITS,
    K_TRAILING_COUNT,
    K_FIELD_KINDS
};

// Scale-factor codewords come in three meanings, modelled apart.
enum SfKind : std::uint8_t { SF_SCALE = 0, SF_NOISE, SF_INTENSITY, SF_KINDS };

// Payload bytes: fill, data stream and comment bytes, the frame's trailing bytes, and the
// bytes of a container around its access units.
enum ByteClass : std::uint8_t { BYTES_PAYLOAD = 0, BYTES_RAW, BYTES_CONTAINER, BYTE_CLASSES };

// Limits of one frame: an ADTS frame has at most 8191 bytes, so at most 65528 bits; every
// plain field takes at least one bit and every payload byte eight. Spectral values take as
// little as a quarter bit, so they are bounded by channels instead.
constexpr std::size_t kMaxFrameBytes = 8191;
constexpr std::size_t kMaxFields = 65536;
constexpr std::size_t kMaxChannelsPerFrame = 48;
constexpr std::size_t kMaxLines = kMaxChannelsPerFrame * 1024;
constexpr std::size_t kMaxScaleFactors = kMaxChannelsPerFrame * 8 * 64;

struct FrameRecord {
    std::array<std::uint32_t, kMaxFields> field;
    std::array<std::uint8_t, kMaxScaleFactors> sf;
    std::array<std::int32_t, kMaxLines> line;
    std::array<std::uint8_t, kMaxFrameBytes> byte;
    std::size_t n_field = 0, n_sf = 0, n_line = 0, n_byte = 0;
    // Only the first n_* entries of each sequence hold anything: the sequences are left unset
    // (zeroing half a megabyte for every chunk was a large part of unpacking a small one).
    FrameRecord() {}
};

inline void clear_record(FrameRecord& rec) { rec.n_field = rec.n_sf = rec.n_line = rec.n_byte = 0; }

// Read positions in a record, for the walks that consume one.
struct RecordCursor {
    std::size_t field = 0, sf = 0, line = 0, byte = 0;
};
