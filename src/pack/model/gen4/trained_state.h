// The trained start of format version 4's models. Every chunk starts from a state trained
// offline on music that neither the bench nor any test uses (tools/make_priors.sh): the
// statistics of AAC that hold for every file (how scale factors step, how quiet lines cluster,
// which codebooks follow which), so that a short file or the first frames of a chunk are coded
// nearly as well as the middle of a long one. The state is a committed data file
// (trained_state_v4.zst) the build embeds, tagged by table as model_state.h describes; it
// belongs to this format version for good.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pack/model/gen4/model_v4.h"
#include "pack/model/model_state.h"

// The committed table: the trained state as zstd compressed it, and the 64-bit xxHash of the
// state uncompressed (trained_state_table.cpp), which loading checks.
extern const std::uint8_t kModelPriorsV4[];
extern const std::size_t kModelPriorsV4Size;
extern const std::uint64_t kModelPriorsV4Hash;

namespace gen4 {

// The tables of the model's learnt state, by name: the list saving, loading, softening and
// starting walk.
template <class V>
void visit_tables(V& v, Model& m) {
    v.table("field_small", m.fields.small);
    v.table("field", m.fields.wide);
    v.table("global_gain_delta", m.fields.global_gain_delta);
    v.table("sect_cb", m.sect_cb);
    v.table("sect_cb_band", m.sect_cb_band);
    v.table("sect_cb_mix3", m.sect_cb_mix3);
    v.table("sect_len_cb", m.sect_len_cb);
    v.table("sect_len_band", m.sect_len_band);
    v.table("sect_len_mix", m.sect_len_mix);
    v.table("ms_used", m.ms_used);
    v.table("sfs_expected", m.sfs_expected);
    v.table("sfs_last", m.sfs_last);
    v.table("sfs_two_back", m.sfs_two_back);
    v.table("sfs_band", m.sfs_band);
    v.table("sfr_expected", m.sfr_expected);
    v.table("sfr_last", m.sfr_last);
    v.table("sfr_partner", m.sfr_partner);
    v.table("sfr_band", m.sfr_band);
    v.table("sfs_mix", m.sfs_mix);
    v.table("sfs_escape", m.sfs_escape);
    v.table("line_book", m.line_book);
    v.table("escape_length", m.escape_length);
    v.table("escape_mantissa", m.escape_mantissa);
    v.table("byte", m.bytes.order1);
    v.table("byte0", m.bytes.order0);
    v.table("byte_mix", m.bytes.mix);
    v.table("unit_is_frame", m.units.is_frame);
    v.table("frame_modelled", m.units.frame_modelled);
    v.table("run_length", m.units.run_length);
    v.table("raw_frame_length", m.units.raw_frame_length);
    v.table("unit_context_same", m.units.context_same);
    v.table("run_is_sizes", m.units.run_is_sizes);
    v.table("sizes_first", m.units.sizes_first);
    v.table("sizes_count", m.units.sizes_count);
    v.table("unit_object_type", m.units.object_type);
    v.table("unit_sf_index", m.units.sf_index);
}

template <class V>
void visit(V& v, LineBook& b) {
    visit(v, b.band_zero);
    visit(v, b.zero_fine);
    visit(v, b.zero_pair);
    visit(v, b.zero_prev2);
    visit(v, b.zero_mix_near);
    visit(v, b.magnitude_at);
    visit(v, b.joint_at);
    visit(v, b.zero_apm_at);
    visit(v, b.sign_pair);
}
template <class V>
void visit(V& v, EscapeLength& e) {
    visit(v, e.length);
}

// The trained model, made once per process from the committed table and never changed after;
// the models of every chunk refer to it. Null when the table does not hold such a state (a
// build fault: the program refuses to pack or unpack), with the reason in why.
const Model* trained_model(std::string* why = nullptr);

}  // namespace gen4
