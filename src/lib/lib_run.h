// What the C interface's calls share: the caller's records read and written by their sizes,
// options checked and turned into the driver's settings, an unpacking run over a source and a
// sink, and a run's report handed over as aaz_info.
#pragma once

#include <cstdint>

#include "aaczavrok.h"
#include "pack/io/byte_stream.h"
#include "pack/driver/pack_file.h"

// The caller's options (the defaults when null: a record is read up to its size, the fields
// past it keep their defaults) and the driver's settings from them. AAZ_BAD_ARGUMENT for a
// size no record can have, a field this library does not know set, or a thread count out of
// range.
[[nodiscard]] int settings_from_options(const aaz_options* options, aaz_options& checked, PackSettings& settings);

// True when info is null or a record whose size the library can write to; a call refuses any
// other with AAZ_BAD_ARGUMENT before it looks at anything else, and leaves it alone.
bool info_usable(const aaz_info* info);
// Copies what a run found into the caller's record, up to its size.
void hand_info(const aaz_info& found, aaz_info* info);

// The driver's status as the interface's result.
int result_of(PackResult pack_result);

// Copies what a run found into info (when not null); units names the coded container or "".
void fill_info(const PackReport& report, const char* units, aaz_info* info);
// An info that carries only a result of the interface's own (a bad argument and the like).
void fail_info(int result, aaz_info* info);

int run_unpack(PackSettings settings, const ByteSource& in, const ByteSink& out, aaz_info* info);

// A sink that writes nowhere: testing checks every chunk and drops it.
ByteSink null_sink();
