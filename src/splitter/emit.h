// Shorthands for handing fields to the stream set: bits, a CSV value, both, a line end.
#pragma once

#include <cstdint>

#include "streams/stream_set.h"

inline void emit_bits(StreamSet& set, std::uint32_t value, int width, int stream) {
    emit_field(set, static_cast<std::int32_t>(value), width, stream, EMIT_BITS);
}
inline void emit_value(StreamSet& set, std::int32_t value, int list) { emit_field(set, value, 0, list, EMIT_VALUE); }
// Bits first, then the same field as a value.
inline void emit_bits_value(StreamSet& set, std::uint32_t value, int width, int stream) {
    emit_bits(set, value, width, stream);
    emit_value(set, static_cast<std::int32_t>(value), stream);
}
inline void emit_eol(StreamSet& set, int list) { emit_field(set, 0, 0, list, EMIT_EOL); }
