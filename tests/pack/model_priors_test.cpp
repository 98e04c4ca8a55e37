// The models' trained starting state: the committed table holds the state it names, the walk
// over a model's statistics saves and loads it without loss, nothing that is not such a state
// loads, and a chunk of the current version codes from it (and only decodes with it).
#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <xxhash.h>

#include "pack/model/chunk_codec.h"
#include "pack/model/model_priors.h"
#include "support/test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes committed_state() {
    const unsigned long long size = ZSTD_getFrameContentSize(kModelPriorsV4, kModelPriorsV4Size);
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN) return {};
    Bytes state(static_cast<std::size_t>(size));
    const std::size_t r = ZSTD_decompress(state.data(), state.size(), kModelPriorsV4, kModelPriorsV4Size);
    if (ZSTD_isError(r) || r != state.size()) return {};
    return state;
}

TEST(ModelPriors, CommittedTableLoadsAndSavesBackToTheSameState) {
    const Bytes state = committed_state();
    ASSERT_FALSE(state.empty()) << "the table does not decompress";
    EXPECT_EQ(XXH3_64bits(state.data(), state.size()), kModelPriorsV4Hash);
    auto m = std::make_unique<FrameModel>();
    ASSERT_TRUE(load_model_state(*m, state.data(), state.size()));
    Bytes again;
    save_model_state(*m, again);
    EXPECT_TRUE(again == state);
    // a trained state has learnt: its first decision is no longer at one half
    EXPECT_NE(m->unit_is_frame.p, Bit{}.p);
}

TEST(ModelPriors, WhatIsNotAStateDoesNotLoad) {
    const Bytes state = committed_state();
    ASSERT_GT(state.size(), 100u);
    auto m = std::make_unique<FrameModel>();
    for (std::size_t cut : {std::size_t{0}, std::size_t{3}, state.size() / 2, state.size() - 1})
        EXPECT_FALSE(load_model_state(*m, state.data(), cut)) << "cut at " << cut;
    Bytes longer = state;
    longer.push_back(0);
    EXPECT_FALSE(load_model_state(*m, longer.data(), longer.size()));

    // values the coder cannot use: a Bit past the rate table, a symbol of no width
    auto bad = std::make_unique<FrameModel>();
    bad->unit_is_frame.n = kBitLimit + 1;
    Bytes saved;
    save_model_state(*bad, saved);
    EXPECT_FALSE(load_model_state(*m, saved.data(), saved.size()));
    bad = std::make_unique<FrameModel>();
    LineBookModel& book = entry_with(bad->line_book, 5u, 5u);
    book.magnitude[2][3].cum[2] = book.magnitude[2][3].cum[1];
    save_model_state(*bad, saved);
    EXPECT_FALSE(load_model_state(*m, saved.data(), saved.size()));
    book.magnitude[2][3].cum[2] = static_cast<std::uint16_t>(book.magnitude[2][3].cum[1] + 1);
    save_model_state(*bad, saved);
    EXPECT_TRUE(load_model_state(*m, saved.data(), saved.size()));
}

TEST(ModelPriors, ChunksOfTheWarmVersionCodeSmallerAndDecodeOnlyAsTheirVersion) {
    const std::string text = read_file(test_data("lc_stereo_44k.aac"));
    const Bytes input(text.begin(), text.end());
    Bytes cold, warm;
    ASSERT_EQ(encode_chunk(input.data(), input.size(), cold, nullptr, true, nullptr, kWarmModelVersion - 1), 0);
    ASSERT_EQ(encode_chunk(input.data(), input.size(), warm, nullptr, true, nullptr, kWarmModelVersion), 0);
    // a short file is where a trained start shows most
    EXPECT_LT(warm.size() * 100, cold.size() * 97) << "warm " << warm.size() << ", cold " << cold.size();
    for (const auto& [payload, version] : {std::make_pair(&cold, kWarmModelVersion - 1), std::make_pair(&warm, kWarmModelVersion)}) {
        Bytes out(input.size());
        ASSERT_EQ(decode_chunk(payload->data(), payload->size(), out.data(), out.size(), false, nullptr, version), 0);
        EXPECT_TRUE(out == input) << "version " << version;
    }
    Bytes out(input.size());
    const bool other = decode_chunk(warm.data(), warm.size(), out.data(), out.size(), false, nullptr,
                                    kWarmModelVersion - 1) == 0 &&
                       out == input;
    EXPECT_FALSE(other) << "a warm payload decoded with the cold models";
}

}  // namespace
