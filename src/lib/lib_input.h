// Packing an input read from its start, as every pack call of the C interface does: the first
// bytes are looked at before the rest is read, to refuse a packed file when asked and, when
// the input cannot be read at offsets, to tell whether it must be kept whole first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aaczavrok.h"
#include "pack/io/byte_stream.h"
#include "pack/driver/pack_file.h"

// Whether packing an input that starts with head[0..n) reads all of it before writing: an ISO
// media file or ADIF, whose index may follow its media; given its length (size, else 0), also
// anything that does not start like ADTS, which may be a stream without frame headers.
bool needs_whole_input(const std::uint8_t* head, std::size_t n, std::uint64_t size);

// Packs `in`, read from its start, to out. With `whole` (the same input at offsets) its access
// units are mapped as the program maps a file; without, an input that needs_whole_input names
// is kept whole first (in memory while it is short, else in an unnamed temporary file) and
// mapped from there, as the program packs a pipe. Returns an aaz_result; info says what was found.
int run_pack(PackSettings settings, bool refuse_packed, const ByteSource& in, const RandomReader* whole,
             const ByteSink& out, aaz_info* info);
