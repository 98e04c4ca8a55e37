// libaaczavrok's C interface: its streaming and one-shot calls give the program's packed bytes
// for every sample, however the input and output are cut; contexts on two threads keep apart;
// records are read and written by their sizes; and every misuse, every broken callback and
// every damaged input comes back as its result code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "aaczavrok.h"
#include "e2e/terminal.h"
#include "support/test_util.h"

namespace {

// Packs (or unpacks) `in` through a stream with options `o`, in input and output pieces of 1 to
// max_piece bytes (1: one byte at a time); the result code ends up in result.
std::string pump(bool pack, const aaz_options& o, const std::string& in, std::size_t max_piece, unsigned seed,
                 int& result) {
    aaz_stream* s = nullptr;
    result = (pack ? aaz_pack_begin : aaz_unpack_begin)(&s, &o);
    const auto update = pack ? aaz_pack_update : aaz_unpack_update;
    const auto finish = pack ? aaz_pack_finish : aaz_unpack_finish;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::size_t> piece(1, max_piece);
    std::string out;
    std::vector<char> buf(max_piece);
    std::size_t at = 0;
    while (result == AAZ_OK && at < in.size()) {
        std::size_t used = 0, written = 0;
        const std::size_t n = std::min(piece(rng), in.size() - at);
        result = update(s, in.data() + at, n, &used, buf.data(), piece(rng), &written);
        at += used;
        out.append(buf.data(), written);
    }
    do {
        if (result != AAZ_OK && result != AAZ_MORE_OUTPUT) break;
        std::size_t written = 0;
        result = finish(s, buf.data(), piece(rng), &written);
        out.append(buf.data(), written);
    } while (result == AAZ_MORE_OUTPUT);
    aaz_stream_end(s);
    return out;
}

std::string stream_pack(const std::string& in, std::uint64_t hint, std::size_t max_piece, unsigned seed = 1) {
    aaz_options o;
    aaz_options_init(&o);
    o.input_size = hint;
    int result = 0;
    const std::string out = pump(true, o, in, max_piece, seed, result);
    EXPECT_EQ(result, AAZ_OK) << aaz_strerror(result);
    return out;
}

std::string stream_unpack(const std::string& in, std::size_t max_piece, int& result, std::uint64_t limit = 0) {
    aaz_options o;
    aaz_options_init(&o);
    o.memory_limit = limit;
    return pump(false, o, in, max_piece, 2, result);
}

std::string one_shot_pack(const std::string& in, aaz_info* info = nullptr) {
    std::string out(aaz_pack_bound(in.size()), '\0');
    std::size_t size = 0;
    EXPECT_EQ(aaz_pack(nullptr, in.data(), in.size(), out.data(), out.size(), &size, info), AAZ_OK);
    out.resize(size);
    return out;
}

// The samples, and the corpus's files where it is beside the tree.
std::vector<std::string> samples() {
    std::vector<std::string> files;
    for (const std::string& dir : {test_data("."), test_data("mp4"), test_data("streams"), corpus_dir()})
        for (const std::string& n : names_in(dir, true))
            if (n.find(".tsv") == std::string::npos) files.push_back(dir + "/" + n);
    return files;
}

// The program's packed bytes of a named file, or of the same bytes through a pipe.
std::string program_pack(const std::string& file, bool from_pipe) {
    TempDir t;
    if (from_pipe) {
        EXPECT_EQ(pack_from_pipe(t, file), "");
    } else {
        expect_run(0, {"-p", "-o", t.file("piped.aaz"), file}, t.path);
    }
    return read_file(t.file("piped.aaz"));
}

// An input read once, whose reads may hand back more than they were asked for.
struct Input {
    std::string data;
    std::size_t pos = 0;
    bool lie = false, lie_at = false;
    std::uint64_t total = 0;  // the length progress was last told
};

long long read_input(void* self, std::uint8_t* buf, std::size_t n) {
    Input& in = *static_cast<Input*>(self);
    const std::size_t take = std::min(n, in.data.size() - in.pos);
    std::memcpy(buf, in.data.data() + in.pos, take);
    in.pos += take;
    return static_cast<long long>(in.lie ? n + 1 : take);
}

long long read_input_at(void* self, std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
    const Input& in = *static_cast<const Input*>(self);
    const std::size_t take = offset < in.data.size() ? std::min<std::size_t>(n, in.data.size() - offset) : 0;
    std::memcpy(buf, in.data.data() + offset, take);
    return static_cast<long long>(in.lie_at ? n + 1 : take);
}

int append_to(void* self, const std::uint8_t* data, std::size_t n) {
    static_cast<std::string*>(self)->append(reinterpret_cast<const char*>(data), n);
    return 0;
}

void note_total(void* self, std::uint64_t, std::uint64_t total) { static_cast<Input*>(self)->total = total; }

void expect_same_bytes_as_the_program(const std::string& file) {
    SCOPED_TRACE(file);
    const std::string in = read_file(file);
    const std::string packed = program_pack(file, false);
    ASSERT_FALSE(packed.empty());
    aaz_info packing, testing, streamed;
    for (aaz_info* i : {&packing, &testing, &streamed}) aaz_info_init(i);
    EXPECT_TRUE(one_shot_pack(in, &packing) == packed);
    EXPECT_TRUE(stream_pack(in, in.size(), 1) == packed);
    EXPECT_TRUE(stream_pack(in, in.size(), 7000, 3) == packed);
    // Without the size a stream is packed as the program packs a pipe, through the streaming
    // calls or through aaz_pack_io without read_at; a container or ADIF input kept whole for
    // it has its length told to progress.
    const std::string piped = program_pack(file, true);
    EXPECT_TRUE(stream_pack(in, 0, 5000, 4) == piped);
    Input source{in};
    aaz_options o;
    aaz_options_init(&o);
    o.progress = note_total;
    o.user = &source;
    std::string through_io;
    const aaz_io io{read_input, &source, append_to, &through_io, nullptr, nullptr, 0};
    EXPECT_EQ(aaz_pack_io(&o, &io, nullptr), AAZ_OK);
    EXPECT_TRUE(through_io == piped);
    const bool kept_whole = in.size() >= 8 && (in.compare(4, 4, "ftyp") == 0 || in.compare(0, 4, "ADIF") == 0);
    EXPECT_EQ(source.total, kept_whole ? in.size() : 0u);
    int result = 0;
    EXPECT_TRUE(stream_unpack(packed, 1, result) == in);
    EXPECT_EQ(result, AAZ_OK);
    EXPECT_TRUE(stream_unpack(packed, 9000, result) == in);
    std::string back(in.size() + 1, '\0');
    std::size_t size = 0;
    EXPECT_EQ(aaz_unpack(nullptr, packed.data(), packed.size(), back.data(), back.size(), &size, nullptr), AAZ_OK);
    EXPECT_TRUE(back.substr(0, size) == in);
    // Testing, whole or as a stream in pieces, describes what packing reported.
    ASSERT_EQ(aaz_test(nullptr, packed.data(), packed.size(), &testing), AAZ_OK);
    aaz_stream* s = nullptr;
    ASSERT_EQ(aaz_test_begin(&s, nullptr), AAZ_OK);
    for (std::size_t at = 0, used = 0; at < packed.size(); at += used)
        ASSERT_EQ(aaz_test_update(s, packed.data() + at, std::min<std::size_t>(333, packed.size() - at), &used), AAZ_OK);
    ASSERT_EQ(aaz_test_finish(s), AAZ_OK);
    ASSERT_EQ(aaz_stream_info(s, &streamed), AAZ_OK);
    aaz_stream_end(s);
    for (const aaz_info& t : {testing, streamed}) {
        EXPECT_EQ(t.format_version, aaz_format_version());
        EXPECT_EQ(t.chunks, packing.chunks);
        EXPECT_EQ(t.original_bytes, in.size());
        EXPECT_EQ(t.packed_bytes, packed.size());
        for (int m = 0; m < AAZ_METHODS; ++m) EXPECT_EQ(t.chunks_by_method[m], packing.chunks_by_method[m]) << m;
        for (int m = 0; m < AAZ_METHODS; ++m) EXPECT_EQ(t.packed_by_method[m], packing.packed_by_method[m]) << m;
    }
}

TEST(LibStream, PiecesOfAnySizeGiveTheProgramsBytesForEverySampleAndCorpusFile) {
    for (const std::string& f : samples()) expect_same_bytes_as_the_program(f);
}

TEST(LibThreads, TwoThreadsPackDifferentFilesAtOnce) {
    const std::string in[] = {read_file(test_data("lc_stereo_44k.aac")), read_file(test_data("mp4/tags_cover.m4a"))};
    const std::string want[] = {one_shot_pack(in[0]), one_shot_pack(in[1])};
    std::string got[2][4];
    std::thread threads[2];
    for (unsigned f = 0; f < 2; ++f)
        threads[f] = std::thread([&, f] {
            for (unsigned i = 0; i < 4; ++i)
                got[f][i] = stream_pack(in[f], in[f].size(), f == 0 ? 100 + 4000 * i : 3 + 5000 * i, i);
        });
    for (std::thread& t : threads) t.join();
    for (unsigned f = 0; f < 2; ++f)
        for (unsigned i = 0; i < 4; ++i) EXPECT_TRUE(got[f][i] == want[f]) << f << " " << i;
}

long long fail_read(void*, std::uint8_t*, std::size_t) { return -EIO; }
int fail_write(void*, const std::uint8_t*, std::size_t) { return ENOSPC; }

TEST(LibErrors, EveryMisuseAndDamageReturnsItsCode) {
    const std::string in = read_file(test_data("lc_mono_8k.aac"));
    const std::string packed = one_shot_pack(in);
    std::string out(in.size() + 100, '\0');
    std::size_t size = 0;
    aaz_info info;
    aaz_info_init(&info);
    // Null pointers and arguments out of range.
    EXPECT_EQ(aaz_pack(nullptr, nullptr, 5, out.data(), out.size(), &size, &info), AAZ_NULL_ARGUMENT);
    EXPECT_STREQ(info.message, aaz_strerror(AAZ_NULL_ARGUMENT));
    EXPECT_EQ(aaz_pack(nullptr, in.data(), in.size(), nullptr, 0, &size, nullptr), AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_unpack(nullptr, packed.data(), packed.size(), out.data(), out.size(), nullptr, nullptr),
              AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_unpack(nullptr, packed.data(), packed.size(), nullptr, 1, &size, nullptr), AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_test(nullptr, nullptr, 1, nullptr), AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_pack_io(nullptr, nullptr, nullptr), AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_unpacked_size(packed.data(), packed.size(), nullptr), AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_pack_begin(nullptr, nullptr), AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_stream_info(nullptr, &info), AAZ_NULL_ARGUMENT);
    aaz_stream_end(nullptr);
    aaz_options bad;
    aaz_options_init(&bad);
    bad.threads = 100000;
    EXPECT_EQ(aaz_pack(&bad, in.data(), in.size(), out.data(), out.size(), &size, nullptr), AAZ_BAD_ARGUMENT);
    aaz_stream* s = nullptr;
    EXPECT_EQ(aaz_unpack_begin(&s, &bad), AAZ_BAD_ARGUMENT);
    EXPECT_EQ(s, nullptr);
    // Output buffers too small, damaged, foreign and unknown input, failing callbacks.
    EXPECT_EQ(aaz_pack(nullptr, in.data(), in.size(), out.data(), 20, &size, &info), AAZ_OUTPUT_TOO_SMALL);
    EXPECT_EQ(aaz_unpack(nullptr, packed.data(), packed.size(), out.data(), in.size() - 1, &size, nullptr),
              AAZ_OUTPUT_TOO_SMALL);
    std::string damaged = packed;
    damaged[packed.size() / 2] ^= 0x40;
    EXPECT_EQ(aaz_test(nullptr, damaged.data(), damaged.size(), &info), AAZ_DAMAGED);
    EXPECT_NE(std::string(info.message).find("damaged"), std::string::npos) << info.message;
    EXPECT_EQ(aaz_test(nullptr, in.data(), in.size(), &info), AAZ_NOT_PACKED);
    EXPECT_STREQ(info.message, "not a packed file (no packed-file magic number)");
    const std::string v1 = read_file(test_data("packed-v1/lc_stereo_44k.aac.aaz"));
    EXPECT_EQ(aaz_test(nullptr, v1.data(), v1.size(), &info), AAZ_UNSUPPORTED_VERSION);
    EXPECT_EQ(info.format_version, 1u);
    // A failed read or write passes the system's reason on.
    Input source{in};
    aaz_io io{read_input, &source, fail_write, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(aaz_pack_io(nullptr, &io, &info), AAZ_WRITE_FAILED);
    EXPECT_EQ(info.sys_errno, ENOSPC);
    EXPECT_NE(std::string(info.message).find(std::strerror(ENOSPC)), std::string::npos) << info.message;
    io.read = fail_read;
    for (const auto call : {aaz_pack_io, aaz_unpack_io}) {
        EXPECT_EQ(call(nullptr, &io, &info), AAZ_READ_FAILED);
        EXPECT_EQ(info.sys_errno, EIO);
    }
    // The memory limit, one-shot and streaming, and a limit below the stream's own buffers.
    aaz_options tight;
    aaz_options_init(&tight);
    tight.memory_limit = in.size() / 2;
    EXPECT_EQ(aaz_unpack(&tight, packed.data(), packed.size(), out.data(), out.size(), &size, &info), AAZ_MEMORY_LIMIT);
    int result = 0;
    stream_unpack(packed, 500, result, (2u << 20) + in.size() / 2);
    EXPECT_EQ(result, AAZ_MEMORY_LIMIT);
    EXPECT_EQ(aaz_unpack_begin(&s, &tight), AAZ_MEMORY_LIMIT);
    stream_unpack(packed, 500, result, (2u << 20) + 8 * in.size());  // three slots at most
    EXPECT_EQ(result, AAZ_OK);
    // A truncated stream; then the context refuses to go on.
    ASSERT_EQ(aaz_unpack_begin(&s, nullptr), AAZ_OK);
    std::size_t used = 0, written = 0;
    EXPECT_EQ(aaz_unpack_update(s, packed.data(), packed.size() - 10, &used, out.data(), out.size(), &written), AAZ_OK);
    EXPECT_EQ(aaz_unpack_finish(s, out.data(), out.size(), &written), AAZ_DAMAGED);
    ASSERT_EQ(aaz_stream_info(s, &info), AAZ_OK);
    EXPECT_NE(std::string(info.message).find("truncated"), std::string::npos) << info.message;
    EXPECT_EQ(aaz_unpack_update(s, packed.data(), 1, &used, out.data(), out.size(), &written), AAZ_STREAM_FAILED);
    EXPECT_EQ(aaz_unpack_finish(s, out.data(), out.size(), &written), AAZ_STREAM_FAILED);
    // The wrong direction, and null pointers given to a live context.
    EXPECT_EQ(aaz_pack_update(s, in.data(), 1, &used, out.data(), out.size(), &written), AAZ_WRONG_DIRECTION);
    EXPECT_EQ(aaz_test_finish(s), AAZ_WRONG_DIRECTION);
    aaz_stream_end(s);
    ASSERT_EQ(aaz_pack_begin(&s, nullptr), AAZ_OK);
    EXPECT_EQ(aaz_unpack_update(s, packed.data(), 1, &used, out.data(), out.size(), &written), AAZ_WRONG_DIRECTION);
    EXPECT_EQ(aaz_pack_update(s, nullptr, 4, &used, out.data(), out.size(), &written), AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_pack_update(s, in.data(), 4, &used, nullptr, 4, &written), AAZ_NULL_ARGUMENT);
    EXPECT_EQ(aaz_pack_finish(s, out.data(), out.size(), nullptr), AAZ_NULL_ARGUMENT);
    // Ended while its work is under way: nothing is left behind.
    EXPECT_EQ(aaz_pack_update(s, in.data(), in.size(), &used, out.data(), 0, &written), AAZ_OK);
    aaz_stream_end(s);
}

TEST(LibErrors, TextsVersionsAndBounds) {
    std::vector<std::string> texts;
    for (int r = 0; r < AAZ_RESULT_COUNT; ++r) texts.push_back(aaz_strerror(r));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(std::unique(texts.begin(), texts.end()), texts.end());
    EXPECT_STREQ(aaz_strerror(-1), "unknown result code");
    EXPECT_STREQ(aaz_strerror(AAZ_RESULT_COUNT), "unknown result code");
    EXPECT_STREQ(aaz_version_string(), "2.0.0");
    EXPECT_EQ(aaz_version_number(), 20000u);
    EXPECT_GE(aaz_format_version(), aaz_oldest_format_version());
    // the bound a caller allocates is near n, and saturates rather than wraps
    for (std::uint64_t n : {std::uint64_t{0}, std::uint64_t{1000}, std::uint64_t{100} << 20})
        EXPECT_LE(aaz_pack_bound(n), n + n / 1000 + 1024);
    EXPECT_EQ(aaz_pack_bound(UINT64_MAX - 5), UINT64_MAX);
    const std::string in = read_file(test_data("mp4/other_codecs.mp4"));
    const std::string packed = one_shot_pack(in);
    EXPECT_LE(packed.size(), aaz_pack_bound(in.size()));
    std::uint64_t promised = 0;
    EXPECT_EQ(aaz_unpacked_size(packed.data(), packed.size(), &promised), AAZ_OK);
    EXPECT_EQ(promised, in.size());
    EXPECT_EQ(aaz_unpacked_size(packed.data(), packed.size() - 1, &promised), AAZ_DAMAGED);
    EXPECT_EQ(aaz_unpacked_size(in.data(), in.size(), &promised), AAZ_NOT_PACKED);
}

// Records too small, never initialised or asking for a field this library does not know are
// refused, and an info record is then left alone; a later version's larger records are taken,
// the fields past this version's zeroed.
TEST(LibRecords, SizesAreCheckedAndLargerRecordsTaken) {
    const std::string in = read_file(test_data("lc_mono_8k.aac"));
    std::string out(aaz_pack_bound(in.size()), '\0');
    std::size_t size = 0;
    const auto pack = [&](const aaz_options* o, aaz_info* i) {
        return aaz_pack(o, in.data(), in.size(), out.data(), out.size(), &size, i);
    };
    aaz_options o;
    aaz_info info;
    for (const std::size_t bad : {std::size_t{0}, sizeof o - 1, std::size_t{1} << 40}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(aaz_options_init_sized(&o, bad) + aaz_info_init_sized(&info, bad), 2 * AAZ_BAD_ARGUMENT);
        aaz_options_init(&o);
        aaz_info_init(&info);
        o.size = bad;
        EXPECT_EQ(pack(&o, nullptr), AAZ_BAD_ARGUMENT);
        info.size = bad;
        info.chunks = 77;
        EXPECT_EQ(pack(nullptr, &info), AAZ_BAD_ARGUMENT);
        EXPECT_EQ(info.chunks, 77u);
    }
    struct {
        aaz_options o;
        std::uint64_t later;
    } wide_o;
    struct {
        aaz_info i;
        std::uint64_t later;
    } wide_i;
    std::memset(&wide_o, 0xFF, sizeof wide_o);
    std::memset(&wide_i, 0xFF, sizeof wide_i);
    ASSERT_EQ(aaz_options_init_sized(&wide_o.o, sizeof wide_o) + aaz_info_init_sized(&wide_i.i, sizeof wide_i), AAZ_OK);
    wide_i.later = 5;
    EXPECT_EQ(pack(&wide_o.o, &wide_i.i), AAZ_OK);
    EXPECT_TRUE(wide_o.later == 0 && wide_i.later == 0 && wide_i.i.size == sizeof wide_i);
    EXPECT_EQ(wide_i.i.original_bytes, in.size());
    wide_o.later = 1;
    EXPECT_EQ(pack(&wide_o.o, nullptr), AAZ_BAD_ARGUMENT);
}

// What a program needs to know of an input without the packed form's internals; a packed input
// refused writes nothing.
TEST(LibProbes, PackedInputsInputsReadWholeAndMethodNames) {
    const std::string packed = read_file(packed_fixture("lc_stereo_44k.aac.aaz"));
    EXPECT_EQ(aaz_is_packed(packed.data(), AAZ_MAGIC_SIZE) * 2 + aaz_is_packed(packed.data(), AAZ_MAGIC_SIZE - 1), 2);
    const std::pair<const char*, int> inputs[] = {  // bit 0 without the input's length, bit 1 with it
        {"mp4/tags_cover.m4a", 3}, {"flv/video.flv", 3}, {"mkv/live_video.mkv", 3}, {"ts/video.ts", 2}, {"streams/lc_stereo_44k.adif", 3}, {"streams/lc_stereo_44k.raw", 2}, {"loas/lc_stereo_44k.loas", 2}, {"lc_stereo_44k.aac", 0}};
    for (const auto& [file, whole] : inputs) {
        const std::string head = read_file(test_data(file));
        EXPECT_EQ(aaz_needs_whole_input(head.data(), head.size(), 0) + 2 * aaz_needs_whole_input(head.data(), head.size(), head.size()), whole) << file;
    }
    EXPECT_STREQ(aaz_method_name(AAZ_METHOD_UNITS), "units");
    EXPECT_STREQ(aaz_method_name(AAZ_METHOD_TS), "ts");
    EXPECT_STREQ(aaz_method_name(AAZ_METHOD_SPLIT), "split");
    EXPECT_STREQ(aaz_method_name(AAZ_METHOD_LOAS), "loas");
    EXPECT_STREQ(aaz_method_name(AAZ_METHOD_LZMA), "lzma");
    EXPECT_EQ(aaz_method_name(AAZ_METHOD_LZMA + 1), nullptr);
    aaz_options o;
    aaz_options_init(&o);
    o.refuse_packed = 1;
    Input source{packed};
    const aaz_io io{read_input, &source, fail_write, nullptr, nullptr, nullptr, 0};
    EXPECT_EQ(aaz_pack_io(&o, &io, nullptr), AAZ_ALREADY_PACKED);  // fail_write was not called
}

// A read callback that returns more than it was asked for fails the call, which says so; no
// count past a buffer is used (the sanitizer build watches for it).
TEST(LibCallbacks, AReadReturningMoreThanAskedFailsTheCall) {
    const std::string m4a = read_file(test_data("mp4/tags_cover.m4a"));
    for (const int c : {0, 1, 2}) {  // packing with a lying read or read_at, unpacking with a lying read
        Input in{c == 2 ? one_shot_pack(m4a) : m4a, 0, c != 1, c == 1};
        std::string out;
        const aaz_io io{read_input, &in, append_to, &out, read_input_at, &in, in.data.size()};
        aaz_info info;
        aaz_info_init(&info);
        EXPECT_EQ(c == 2 ? aaz_unpack_io(nullptr, &io, &info) : aaz_pack_io(nullptr, &io, &info), AAZ_READ_FAILED);
        EXPECT_STREQ(info.message, "cannot read the input: the read callback returned more bytes than it was asked for");
    }
}

}  // namespace
