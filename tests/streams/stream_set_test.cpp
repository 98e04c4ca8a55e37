// Field emission in both output modes, the bit writer, and the data-block file layouts.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "streams/block_files.h"
#include "streams/stream_set.h"
#include "support/test_util.h"

namespace {

TEST(BitSink, SplitsWritesAtByteBoundariesAndMasksHighBits) {
    std::uint8_t buf[8] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    BitSink sink;
    bitsink_create(sink, buf, sizeof buf);
    EXPECT_EQ(buf[0], 0);  // creation clears a buffer that held data
    EXPECT_EQ(bitsink_put(sink, 0x1F, 5), 5u);
    EXPECT_EQ(bitsink_put(sink, 0xFFFFFABC, 12), 12u);  // bits above the width are ignored
    EXPECT_EQ(bitsink_put(sink, 0, 0), 0u);
    EXPECT_EQ(sink.bits_written, 17u);
    // 11111 101010111100 -> 11111101 01011110 0
    EXPECT_EQ(buf[0], 0xFD);
    EXPECT_EQ(buf[1], 0x5E);
    EXPECT_EQ(buf[2], 0x00);
    EXPECT_EQ(bitsink_put(sink, 0xFFFFFFFF, 32), 32u);
    EXPECT_EQ(sink.bits_written, 49u);
}

TEST(BitSink, RefusesBitsBeyondItsCapacityWithoutWrapping) {
    std::uint8_t buf[3] = {};
    BitSink sink;
    bitsink_create(sink, buf, 2);
    EXPECT_EQ(bitsink_put(sink, 0xFFFF, 16), 16u);  // exactly full
    EXPECT_EQ(bitsink_put(sink, 1, 1), 0u);          // one bit over
    EXPECT_TRUE(sink.overflow);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[2], 0x00);  // nothing written past the capacity
    EXPECT_EQ(sink.bits_written, 16u);
}

TEST(ValueList, HoldsCapacityOverFourValues) {
    // One byte a value in the list's buffer; values beyond a byte come back whole.
    std::vector<std::int8_t> items(1025, 7);
    ValueList list;
    valuelist_create(list, items.data(), 4096);
    std::vector<std::int32_t> pushed;
    for (int i = 0; i < 1024; ++i) {
        const std::int32_t v = i % 3 == 0 ? -i * 1000 : i % 256 - 128;  // -128 is a value too
        pushed.push_back(v);
        ASSERT_EQ(valuelist_push(list, v), 0);
    }
    EXPECT_EQ(valuelist_push(list, 5), 1);
    EXPECT_EQ(list.count, 1024u);
    EXPECT_EQ(items[1024], 7);
    EXPECT_EQ(valuelist_values(list), pushed);
    valuelist_release(list);
    ValueList empty;
    valuelist_create(empty, nullptr, 0);
    EXPECT_EQ(valuelist_push(empty, 1), 1);
}

std::string csv_text(StreamSet& set, int list) { return std::string(set.csv[list].buffer, set.csv[list].used); }

TEST(EmitField, BinCsvModePacksBitsAndFormatsValues) {
    StreamSet set;
    streamset_build(set, 1, 64, 0);
    emit_field(set, 5, 3, STREAM_STC, EMIT_BITS);
    emit_field(set, 1, 1, STREAM_STC, EMIT_BITS);
    EXPECT_EQ(set.sinks[STREAM_STC].buffer[0], 0xB0);  // 1011 then zeros
    EXPECT_EQ(set.stream_bits[STREAM_STC], 4u);
    emit_field(set, -1, 4, STREAM_GG, EMIT_BITS);
    EXPECT_EQ(set.sinks[STREAM_GG].buffer[0], 0xF0);
    emit_field(set, 3, 0, STREAM_GG, EMIT_BITS);  // width 0 bits change nothing
    EXPECT_EQ(set.stream_bits[STREAM_GG], 4u);
    emit_field(set, 1, 0, STREAM_ADTS, EMIT_VALUE);  // width plays no part for values
    emit_field(set, -2, 0, STREAM_ADTS, EMIT_VALUE);
    emit_field(set, 3, 0, STREAM_ADTS, EMIT_VALUE);
    emit_field(set, 0, 0, STREAM_ADTS, EMIT_EOL);
    emit_field(set, 0, 0, STREAM_ADTS, EMIT_EOL);
    emit_field(set, -2147483647 - 1, 0, LIST_QMDCT_1, EMIT_VALUE);
    EXPECT_EQ(csv_text(set, STREAM_ADTS), "1,-2,3,\n\n");
    EXPECT_EQ(csv_text(set, LIST_QMDCT_1), "-2147483648,");
    emit_field(set, 9, 4, STREAM_TNS, 7);  // an unknown kind does nothing
    EXPECT_EQ(set.stream_bits[STREAM_TNS], 0u);
    EXPECT_EQ(csv_text(set, STREAM_TNS), "");
    streamset_release(set);
}

TEST(EmitField, SwpModeKeepsValuesOnlyAndGrowsFullLists) {
    StreamSet set;
    streamset_build(set, 0, 1000, 1);  // lists of 4096 bytes: 1024 values
    emit_field(set, 5, 3, STREAM_STC, EMIT_BITS);
    emit_field(set, 0, 0, STREAM_STC, EMIT_EOL);
    EXPECT_EQ(set.stream_bits[STREAM_STC], 0u);
    EXPECT_EQ(set.lists[STREAM_STC].count, 0u);
    for (int i = 0; i < 5000; ++i) emit_field(set, i - 2500, 0, LIST_QMDCT_0, EMIT_VALUE);
    ASSERT_EQ(set.lists[LIST_QMDCT_0].count, 5000u);  // nothing dropped past the first estimate
    EXPECT_EQ(valuelist_values(set.lists[LIST_QMDCT_0])[4999], 2499);
    EXPECT_FALSE(set.out_of_memory);
    streamset_release(set);
}

TEST(EmitField, BitStreamsGrowPastTheirFirstSize) {
    StreamSet set;
    streamset_build(set, 1, 10, 0);  // 5 bytes for ADTS at first
    for (int i = 0; i < 1000; ++i) emit_field(set, 0xFFF, 12, STREAM_ADTS, EMIT_BITS);
    EXPECT_EQ(set.stream_bits[STREAM_ADTS], 12000u);
    EXPECT_EQ(set.sinks[STREAM_ADTS].buffer[1499], 0xFF);
    streamset_release(set);
}

TEST(BlockFiles, UncreatableFileIsReportedWithItsReason) {
    StreamSet set;
    set.block_files = 1;
    std::FILE* err = std::tmpfile();
    EXPECT_EQ(create_block_files(set, "/nonexistent-dir/song.aac", err), 1);
    discard_block_files(set);
    EXPECT_EQ(read_stream(err), "Error: couldn't create /nonexistent-dir/song_ADTS.csv: No such file or directory\n");
    std::fclose(err);
}

TEST(BlockFiles, EmptyContainerIsFortyZeroBytesAndHostileCountsAreRefused) {
    TempDir dir;
    const std::string name = dir.path + "/e.swp";
    StreamSet set;
    streamset_build(set, 0, 100, 0);
    ASSERT_EQ(open_output(set.container, name, true), 0);
    ASSERT_EQ(streamset_flush(set), 0);
    ASSERT_EQ(commit_output(set.container), 0);
    streamset_release(set);
    EXPECT_EQ(read_file(name), std::string(40, '\0'));
    write_file(name, std::string("\xFF\xFF\xFF\xFF\x01\x02", 6));
    std::FILE* f = std::fopen(name.c_str(), "rb");
    std::vector<std::int32_t> values;
    EXPECT_EQ(read_values_block(f, values), 1);
    EXPECT_TRUE(values.empty());
    std::fclose(f);
}

// The container's bytes do not depend on how they reach the disk: pieces written past the
// page cache, the ordinary last piece, and ordinary writes throughout give the same file,
// here one of more than two whole pieces with blocks that straddle their boundaries.
TEST(BlockFiles, ContainerIsTheSameWrittenDirectlyOrThroughTheCache) {
    TempDir dir;
    // A second file system where there is one: memory-backed ones take or refuse direct
    // writes depending on the system, and either way the container must come out whole.
    char shm_template[] = "/dev/shm/aaczavrok-test-XXXXXX";
    const char* shm = mkdtemp(shm_template);
    std::vector<std::string> files = {dir.path + "/plain.swp", dir.path + "/direct.swp"};
    if (shm != nullptr) files.push_back(std::string(shm) + "/direct.swp");
    for (std::size_t k = 0; k < files.size(); ++k) {
        const int direct = k > 0 ? 1 : 0;
        StreamSet set;
        streamset_build(set, 0, 1 << 20, 8);
        set.direct_container_writes = direct == 1;
        ASSERT_EQ(open_output(set.container, files[k], true), 0);
        std::vector<std::int32_t> values(3'000'001);
        // Mostly one-byte values with wide ones among them, as spectral lists are.
        for (std::size_t i = 0; i < values.size(); ++i)
            values[i] = i % 5 == 0 ? static_cast<std::int32_t>(i * 2654435761u) : static_cast<std::int32_t>(i % 255) - 127;
        emit_values(set, values.data(), 1001, STREAM_SCF);
        emit_values(set, values.data(), values.size(), LIST_QMDCT_0);
        emit_values(set, values.data() + 7, 1'200'000, LIST_QMDCT_1);
        ASSERT_EQ(streamset_flush(set), 0);
        ASSERT_EQ(commit_output(set.container), 0);
        streamset_release(set);
    }
    const std::string plain = read_file(files[0]);
    ASSERT_EQ(plain.size(), 40u + 4u * (1001 + 3'000'001 + 1'200'000));
    ASSERT_GT(plain.size(), 2 * kContainerPiece);
    // Lists 0..5 are empty, so SCF's block starts at byte 24: count 1001, then 0 and -126,
    // each 4 bytes little-endian.
    EXPECT_EQ(plain.substr(24, 12), std::string("\xE9\x03\x00\x00\x00\x00\x00\x00\x82\xFF\xFF\xFF", 12));
    for (std::size_t k = 1; k < files.size(); ++k) EXPECT_TRUE(read_file(files[k]) == plain) << files[k];
    if (shm != nullptr) {
        std::remove(files.back().c_str());
        rmdir(shm);
    }
    std::FILE* f = std::fopen(files[1].c_str(), "rb");
    std::vector<std::int32_t> list;
    for (int l = 0; l < kListCount; ++l) {
        ASSERT_EQ(read_values_block(f, list), 0);
        if (l == LIST_QMDCT_0) {
            ASSERT_EQ(list.size(), 3'000'001u);
            EXPECT_EQ(list.back(), static_cast<std::int32_t>(3'000'000u * 2654435761u));
            EXPECT_EQ(list[2'999'999], static_cast<std::int32_t>(2'999'999u % 255) - 127);
        }
    }
    EXPECT_EQ(list.size(), 1'200'000u);
    EXPECT_EQ(list.front(), static_cast<std::int32_t>(7u % 255) - 127);
    EXPECT_EQ(list[3], static_cast<std::int32_t>(10u * 2654435761u));
    std::fclose(f);
}

}  // namespace
