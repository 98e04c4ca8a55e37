// Helpers of the rebuild and spectral tests: bit strings built by hand, a context whose
// streams are filled directly, temporary directories and captured messages.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rebuild/decompress.h"
#include "aac/bit_sink.h"
#include "support/bit_writer.h"
#include "support/test_util.h"

namespace rebuild_test {

// Bits appended most significant first, as the streams and frames hold them.
using Bits = BitWriter;

// A run of syntax fields (value, width): the same stream content as bits or as values.
struct Fields {
    std::vector<std::pair<std::uint32_t, unsigned>> list;
    Fields& add(std::uint32_t value, unsigned width) {
        list.emplace_back(value, width);
        return *this;
    }
    Fields& add(const Fields& more) {
        list.insert(list.end(), more.list.begin(), more.list.end());
        return *this;
    }
    Bits bits() const {
        Bits b;
        for (const auto& f : list) b.put(f.first, f.second);
        return b;
    }
    std::vector<std::int32_t> values() const {
        std::vector<std::int32_t> v;
        for (const auto& f : list) v.push_back(static_cast<std::int32_t>(f.first));
        return v;
    }
    std::size_t width() const {
        std::size_t n = 0;
        for (const auto& f : list) n += f.second;
        return n;
    }
};

// n bits of `data` from bit `pos` (beyond the data: zeros).
inline std::uint32_t bits_at(const std::uint8_t* data, std::size_t size, std::size_t pos, unsigned n) {
    std::uint32_t v = 0;
    for (unsigned i = 0; i < n; ++i, ++pos) {
        const std::uint32_t bit = pos / 8 < size ? (data[pos / 8] >> (7 - pos % 8)) & 1u : 0u;
        v = (v << 1) | bit;
    }
    return v;
}

// A frame sink over its own buffer, with a cursor to read back what was written.
struct Frame {
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kFrameBufferSize);
    BitSink sink;
    std::size_t cursor = 0;
    Frame() { bitsink_create(sink, buffer.data(), buffer.size()); }
    std::uint32_t next(unsigned n) {
        const std::uint32_t v = bits_at(buffer.data(), buffer.size(), cursor, n);
        cursor += n;
        return v;
    }
    std::size_t written() const { return sink.bits_written; }
};

// The frame holds exactly the expected bits.
inline void expect_written(const Frame& frame, const Bits& expected) {
    ASSERT_EQ(frame.written(), expected.bits);
    for (std::size_t i = 0; i < expected.bytes.size(); ++i) EXPECT_EQ(frame.buffer[i], expected.bytes[i]) << "byte " << i;
}

// Captures what the program prints.
struct Messages {
    std::FILE* file = std::tmpfile();
    ~Messages() {
        if (file != nullptr) std::fclose(file);
    }
    std::string text() const {
        std::fflush(file);
        std::string s;
        std::rewind(file);
        for (int c; (c = std::fgetc(file)) != EOF;) s.push_back(static_cast<char>(c));
        return s;
    }
};

inline std::unique_ptr<DecompressContext> make_context(std::FILE* out) {
    auto ctx = std::make_unique<DecompressContext>();
    ctx->out = out;
    return ctx;
}

// Stream `list` held as bits.
inline void set_bits(DecompressContext& ctx, int list, const Bits& bits) {
    DataBlocks& b = ctx.blocks;
    b.bin[list] = bits.bytes;
    b.bits_present[list] = 1;
    b.reader[list] = StreamReader{};
    b.reader[list].buffer = b.bin[list].empty() ? nullptr : b.bin[list].data();
    b.reader[list].size = b.bin[list].size();
}

// Stream `list` held as a container value list.
inline void set_values(DecompressContext& ctx, int list, std::vector<std::int32_t> values) {
    ctx.blocks.block_files = 0;
    ctx.blocks.bits_present[list] = 0;
    ctx.blocks.values[list] = std::move(values);
    ctx.blocks.value_position[list] = 0;
}

// Stream `list` filled with `fields`, as bits or as container values.
inline void set_fields(DecompressContext& ctx, int list, const Fields& fields, bool values) {
    if (values) {
        set_values(ctx, list, fields.values());
    } else {
        set_bits(ctx, list, fields.bits());
    }
}

// How much of stream `list` a writer used: bits read, or values taken.
inline std::size_t consumed(const DecompressContext& ctx, int list) {
    const DataBlocks& b = ctx.blocks;
    if (b.bits_present[list])
        return static_cast<std::size_t>(b.reader[list].byte_position * 8 + b.reader[list].bit_position);
    return b.value_position[list];
}

using ::TempDir;

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
}

inline void write_text(const std::string& path, const std::string& text) {
    write_file(path, std::vector<std::uint8_t>(text.begin(), text.end()));
}

inline std::vector<std::uint8_t> read_file(const std::string& path) {
    std::vector<std::uint8_t> bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    for (int c; (c = std::fgetc(f)) != EOF;) bytes.push_back(static_cast<std::uint8_t>(c));
    std::fclose(f);
    return bytes;
}

}  // namespace rebuild_test
