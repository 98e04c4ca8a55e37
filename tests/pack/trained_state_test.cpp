// The trained starting state of version 4's models: the committed table holds the state it
// names and saves back to the same bytes; a state is read by its tables' names, so a table it
// lacks starts cold without shifting the others, while a table of another shape, a name the
// model does not have or values the coder cannot use do not load; a chunk of version 4 codes
// from the state (and only decodes with it); and a build whose state does not load refuses to
// pack or unpack rather than start cold under version 4's number.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <xxhash.h>

#include "pack/model/chunk_codec.h"
#include "pack/model/gen4/trained_state.h"
#include "support/packing.h"
#include "support/test_util.h"

namespace {

Bytes committed_state() {
    const unsigned long long size = ZSTD_getFrameContentSize(kModelPriorsV4, kModelPriorsV4Size);
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) return {};
    Bytes state(static_cast<std::size_t>(size));
    const std::size_t r = ZSTD_decompress(state.data(), state.size(), kModelPriorsV4, kModelPriorsV4Size);
    if (ZSTD_isError(r) || r != state.size()) return {};
    return state;
}

// A state with its tables as found, to take apart and put together again.
Bytes join(const std::vector<SavedTable>& tables) {
    Bytes out(kStateMagic, kStateMagic + sizeof kStateMagic);
    out.push_back(kStateLayout);
    StateWriter w{out};
    w.put(static_cast<std::uint32_t>(tables.size()), 4);
    for (const SavedTable& t : tables) {
        w.put(static_cast<std::uint32_t>(t.name.size()), 1);
        out.insert(out.end(), t.name.begin(), t.name.end());
        w.put(static_cast<std::uint32_t>(t.signature.size()), 2);
        out.insert(out.end(), t.signature.begin(), t.signature.end());
        w.put(static_cast<std::uint32_t>(t.size), 4);
        out.insert(out.end(), t.data, t.data + t.size);
    }
    return out;
}

TEST(TrainedState, CommittedTableLoadsAndSavesBackToTheSameState) {
    const Bytes state = committed_state();
    ASSERT_FALSE(state.empty()) << "the table does not decompress";
    EXPECT_EQ(XXH3_64bits(state.data(), state.size()), kModelPriorsV4Hash);
    auto m = std::make_unique<gen4::Model>();
    ASSERT_EQ(load_model_state(*m, state.data(), state.size()), "");
    Bytes again;
    save_model_state(*m, again);
    EXPECT_TRUE(again == state);
    // a trained state has learnt: its first decision is no longer at one half
    EXPECT_NE(m->units.is_frame.p, Bit{}.p);
    EXPECT_EQ(gen4::trained_model(), gen4::trained_model());
    ASSERT_NE(gen4::trained_model(), nullptr);
    EXPECT_EQ(generations_fault(), "");
}

TEST(TrainedState, TablesAreFoundByNameAndShape) {
    const Bytes state = committed_state();
    std::vector<SavedTable> tables;
    std::string why;
    ASSERT_TRUE(split_state(state.data(), state.size(), tables, why)) << why;
    ASSERT_GT(tables.size(), 30u);
    auto whole = std::make_unique<gen4::Model>();
    ASSERT_EQ(load_model_state(*whole, state.data(), state.size()), "");

    // A table the state lacks starts as constructed; every other loads as before, wherever
    // it lies in the state.
    std::vector<SavedTable> fewer(tables.begin(), tables.end());
    const auto mixers = std::find_if(fewer.begin(), fewer.end(), [](const SavedTable& t) { return t.name == "sect_cb_mix3"; });
    ASSERT_NE(mixers, fewer.end());
    fewer.erase(mixers);
    std::reverse(fewer.begin(), fewer.end());
    const Bytes without = join(fewer);
    auto partial = std::make_unique<gen4::Model>();
    ASSERT_EQ(load_model_state(*partial, without.data(), without.size()), "");
    EXPECT_EQ(partial->sect_cb_mix3[1].w[0], Mixer<3>{}.w[0]);
    EXPECT_NE(whole->sect_cb_mix3[1].w[0], Mixer<3>{}.w[0]);
    Bytes saved_partial, saved_whole;
    partial->sect_cb_mix3 = whole->sect_cb_mix3;
    save_model_state(*partial, saved_partial);
    save_model_state(*whole, saved_whole);
    EXPECT_TRUE(saved_partial == saved_whole);

    // Another shape under a known name, a name the model lacks, a name twice: refused by name.
    const auto refused = [](std::vector<SavedTable> t, const char* expected) {
        const Bytes bytes = join(t);
        auto m = std::make_unique<gen4::Model>();
        EXPECT_EQ(load_model_state(*m, bytes.data(), bytes.size()), expected);
    };
    std::vector<SavedTable> changed = tables;
    for (SavedTable& t : changed)
        if (t.name == "ms_used") t.signature = "9(" + t.signature + ")";
    refused(changed, "table ms_used has another shape");
    changed = tables;
    changed.push_back(changed.back());
    changed.back().name = "sect_len";
    refused(changed, "table sect_len is not one of the model's");
    changed = tables;
    changed.push_back(changed.front());
    refused(changed, ("table " + tables.front().name + " is named twice").c_str());
}

TEST(TrainedState, WhatIsNotAStateDoesNotLoad) {
    const Bytes state = committed_state();
    ASSERT_GT(state.size(), 100u);
    auto m = std::make_unique<gen4::Model>();
    for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{5}, state.size() / 2, state.size() - 1})
        EXPECT_NE(load_model_state(*m, state.data(), cut), "") << "cut at " << cut;
    Bytes longer = state;
    longer.push_back(0);
    EXPECT_NE(load_model_state(*m, longer.data(), longer.size()), "");

    // values the coder cannot use: a Bit past the rate table, a symbol of no width
    auto bad = std::make_unique<gen4::Model>();
    bad->units.is_frame.n = kBitLimit + 1;
    Bytes saved;
    save_model_state(*bad, saved);
    EXPECT_EQ(load_model_state(*m, saved.data(), saved.size()), "table unit_is_frame does not hold its statistics");
    bad = std::make_unique<gen4::Model>();
    gen4::LineBook& book = entry_with(bad->line_book, 5u, 5u);
    book.magnitude_at[0][2][3].cum[2] = book.magnitude_at[0][2][3].cum[1];
    save_model_state(*bad, saved);
    EXPECT_NE(load_model_state(*m, saved.data(), saved.size()), "");
    book.magnitude_at[0][2][3].cum[2] = static_cast<std::uint16_t>(book.magnitude_at[0][2][3].cum[1] + 1);
    save_model_state(*bad, saved);
    EXPECT_EQ(load_model_state(*m, saved.data(), saved.size()), "");
}

TEST(TrainedState, ChunksOfVersionFourCodeSmallerAndDecodeOnlyAsTheirVersion) {
    const Bytes input = bytes_of(read_file(test_data("lc_stereo_44k.aac")));
    Bytes cold, warm;
    ASSERT_EQ(encode_chunk(input.data(), input.size(), cold, nullptr, true, nullptr, 3), PACK_OK);
    ASSERT_EQ(encode_chunk(input.data(), input.size(), warm, nullptr, true, nullptr, 4), PACK_OK);
    // a short file is where a trained start shows most
    EXPECT_LT(warm.size() * 100, cold.size() * 97) << "warm " << warm.size() << ", cold " << cold.size();
    for (const auto& [payload, version] : {std::make_pair(&cold, 3u), std::make_pair(&warm, 4u)}) {
        Bytes out(input.size());
        ASSERT_EQ(decode_chunk(payload->data(), payload->size(), out.data(), out.size(), false, nullptr, version), PACK_OK);
        EXPECT_TRUE(out == input) << "version " << version;
    }
    Bytes out(input.size());
    const bool other = decode_chunk(warm.data(), warm.size(), out.data(), out.size(), false, nullptr, 3) == 0 &&
                       out == input;
    EXPECT_FALSE(other) << "a warm payload decoded with the cold models";
}

std::string broken_state() { return "the trained model state of format version 4 does not load: (a test's)"; }

TEST(TrainedState, ABuildWhoseStateDoesNotLoadNeitherPacksNorUnpacks) {
    PackSettings settings;
    settings.coder.fault = broken_state;
    for (const bool unpack : {false, true}) {
        const Bytes input = bytes_of(read_file(test_data(unpack ? "packed-v3/lc_mono_8k.aac.aaz" : "lc_mono_8k.aac")));
        ASSERT_FALSE(input.empty());
        Bytes out;
        PackReport report;
        EXPECT_EQ(pack_bytes(input, out, settings, report, unpack), PACK_BUILD_FAULT);
        EXPECT_EQ(report.message, "build fault: " + broken_state() + "; this build can neither pack nor unpack");
        EXPECT_TRUE(out.empty());
    }
}

}  // namespace
