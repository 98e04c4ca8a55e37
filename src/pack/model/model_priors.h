// How the models of a chunk start. Up to format version 3 every chunk started from nothing and
// learnt all it knew from its own frames. From version 4 on, every chunk starts from a state
// trained offline on music that neither the bench nor any test uses (tools/make_priors.sh): the
// statistics of AAC that hold for every file (how scale factors step, how quiet lines cluster,
// which codebooks follow which), so that a short file or the first frames of a chunk are coded
// nearly as well as the middle of a long one. The trained state is a committed table
// (model_priors_table.cpp) and belongs to its format version: a later version that trains anew
// keeps this one's for the files it wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pack/model/frame_model.h"

// Sets m (a model that has coded nothing yet) up as a chunk of format `version` starts: cold
// before kWarmModelVersion, the trained state from then on. The trained state is made once per
// process from the committed table and never changes; m's large tables refer to it and copy an
// entry from it when m first uses that entry.
void start_models(FrameModel& m, unsigned version);
// The same from a given trained state (cold when null), which must outlive m: how the
// training tool starts each chunk from a state it is weighing.
void start_models_from(FrameModel& m, const FrameModel* trained, unsigned version);

// The learnt state of a model (every adaptive statistic: bits, trees, symbol counts, mixer
// weights, refinement maps; not the channel histories or last values, which belong to the
// stream being coded) as bytes, the same on every machine, and back. Loading checks every
// count and index and returns false on anything that is not such a state.
void save_model_state(FrameModel& m, std::vector<std::uint8_t>& out);
[[nodiscard]] bool load_model_state(FrameModel& m, const std::uint8_t* data, std::size_t size);

// Turns a trained state into priors a chunk can still learn from: every Bit keeps its
// probability but counts at most bit_count decisions (so it adapts at 1/(bit_count+2) at
// first), and every symbol distribution keeps its shape within a total of symbol_total. A Bit
// training met fewer than min_seen times starts as one that has seen nothing, and an entry of
// a LazyTable met fewer times is dropped: what they learnt is more noise than knowledge, and
// the table is smaller without it.
struct PriorStrength {
    unsigned bit_count = 12;
    unsigned symbol_total = 1024;
    unsigned min_seen = 0;
};
void soften_model_state(FrameModel& m, const PriorStrength& strength);

// The committed table: the trained state of version 4 as zstd compressed it (the data file
// src/pack/model_priors_v4.zst, which the build embeds), and the 64-bit xxHash of the state
// uncompressed (model_priors_table.cpp), which a test checks the table decompresses to.
extern const std::uint8_t kModelPriorsV4[];
extern const std::size_t kModelPriorsV4Size;
extern const std::uint64_t kModelPriorsV4Hash;
