// Trains the starting state of the packed form's models and writes it as the committed table
// (src/pack/model_priors_table.cpp). tools/make_priors.sh runs it on the training music.
//
// The training files are taken in the order given, cut into blocks of frames, and coded block
// by block, in turns (the first block of every file, then the second of every file, ...), on
// one set of models that carries over from block to block: what it ends with has seen every
// file and every encoder often and recently. Each block starts a new stream, as a chunk does.
// The result is softened into priors (PriorStrength) and saved; the same files give the same
// state, byte for byte, on any machine.
//
// With held-out files (--heldout), it also packs them, cold and from the trained state at each
// strength asked for, and prints the saving of each: that is how the strength is chosen.
//
// Usage: aaczavrok_train_priors [--strength BITS:TOTAL:SEEN]... [--heldout FILE]... [--table OUT.cpp]
//                               [--command TEXT] TRAINING_FILE...
#include <zstd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <xxhash.h>

#include "pack/chunk_codec.h"
#include "pack/frame_model.h"
#include "pack/model_priors.h"
#include "pack/pack_file.h"

namespace {

// Frames a training block holds: about 12 seconds at 44.1 kHz.
constexpr std::size_t kBlockFrames = 512;
constexpr int kTableZstdLevel = 19;

struct Block {
    const std::vector<std::uint8_t>* file;
    std::size_t start;
    std::size_t length;
};

bool read_whole(const std::string& path, std::vector<std::uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Cuts data into runs as next_chunk_length does with the given limits.
std::vector<std::pair<std::size_t, std::size_t>> cut(const std::vector<std::uint8_t>& data, std::size_t frames,
                                                     std::size_t target) {
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t pos = 0; pos < data.size();) {
        const std::size_t n = next_chunk_length(data.data() + pos, data.size() - pos, true, frames, kPackOtherBytes,
                                                target);
        runs.emplace_back(pos, n);
        pos += n;
    }
    return runs;
}

// Packed bytes of a file in chunks as the packer cuts a file of its size, every chunk starting
// from `start` (or cold when null).
std::size_t packed_size(const std::vector<std::uint8_t>& data, const FrameModel* start) {
    const std::size_t chunks = data.size() < 2 * kPackChunkAlone
                                   ? 1
                                   : 2 * ((data.size() + 2 * kPackChunkTarget - 1) / (2 * kPackChunkTarget));
    std::size_t total = 0;
    std::vector<std::uint8_t> payload;
    for (const auto& [pos, n] : cut(data, ~std::size_t{0}, (data.size() + chunks - 1) / chunks)) {
        auto m = std::make_unique<FrameModel>();
        if (start != nullptr) *m = *start;
        m->version = kWarmModelVersion;
        if (encode_chunk_on(m, data.data() + pos, n, payload) != 0) return data.size();
        total += payload.size() < n ? payload.size() : n;
    }
    return total;
}

void write_table(const std::string& path, const std::vector<std::uint8_t>& state, const std::string& command,
                 std::size_t files) {
    std::vector<std::uint8_t> z(ZSTD_compressBound(state.size()));
    const std::size_t zn = ZSTD_compress(z.data(), z.size(), state.data(), state.size(), kTableZstdLevel);
    if (ZSTD_isError(zn)) {
        std::fprintf(stderr, "zstd: %s\n", ZSTD_getErrorName(zn));
        std::exit(1);
    }
    const std::string part = path + ".part";
    std::FILE* f = std::fopen(part.c_str(), "w");
    if (f == nullptr) {
        std::perror(part.c_str());
        std::exit(1);
    }
    std::fprintf(f,
                 "// The trained starting state of format version 4's models: %zu bytes of state, %zu as zstd\n"
                 "// compressed them, trained on %zu files. Generated; do not edit. Made by:\n"
                 "//     %s\n"
                 "#include \"pack/model_priors.h\"\n\n"
                 "const std::uint64_t kModelPriorsV4Hash = 0x%016" PRIx64 "u;\n"
                 "const std::size_t kModelPriorsV4Size = %zu;\n"
                 "const std::uint8_t kModelPriorsV4[] = {",
                 state.size(), zn, files, command.c_str(), static_cast<std::uint64_t>(XXH3_64bits(state.data(), state.size())), zn);
    for (std::size_t i = 0; i < zn; ++i) std::fprintf(f, "%s%u,", i % 24 == 0 ? "\n    " : "", z[i]);
    std::fprintf(f, "\n};\n");
    if (std::fclose(f) != 0 || std::rename(part.c_str(), path.c_str()) != 0) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::printf("table: %zu bytes of state, %zu compressed -> %s\n", state.size(), zn, path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> training, heldout;
    std::vector<PriorStrength> strengths;
    std::string table, command = "tools/make_priors.sh";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--heldout" && i + 1 < argc) {
            heldout.push_back(argv[++i]);
        } else if (a == "--table" && i + 1 < argc) {
            table = argv[++i];
        } else if (a == "--command" && i + 1 < argc) {
            command = argv[++i];
        } else if (a == "--strength" && i + 1 < argc) {
            PriorStrength s;
            if (std::sscanf(argv[++i], "%u:%u:%u", &s.bit_count, &s.symbol_total, &s.min_seen) != 3 ||
                s.bit_count > kBitLimit || s.symbol_total < 2 * kSymbolsMax || s.symbol_total > kSymbolLimit) {
                std::fprintf(stderr, "--strength BITS:TOTAL:SEEN (bits at most %u, total %u to %u)\n", kBitLimit,
                             2 * kSymbolsMax, kSymbolLimit);
                return 2;
            }
            strengths.push_back(s);
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "unknown option %s\n", a.c_str());
            return 2;
        } else {
            training.push_back(a);
        }
    }
    if (training.empty()) {
        std::fprintf(stderr, "usage: %s [--strength BITS:TOTAL:SEEN]... [--heldout FILE]... [--table OUT.cpp] FILE...\n",
                     argv[0]);
        return 2;
    }
    if (strengths.empty()) strengths.push_back(PriorStrength{});

    std::vector<std::vector<std::uint8_t>> files(training.size());
    std::vector<std::vector<Block>> blocks(training.size());
    std::size_t most = 0;
    for (std::size_t f = 0; f < training.size(); ++f) {
        if (!read_whole(training[f], files[f])) {
            std::fprintf(stderr, "cannot read %s\n", training[f].c_str());
            return 1;
        }
        for (const auto& [pos, n] : cut(files[f], kBlockFrames, 0)) blocks[f].push_back(Block{&files[f], pos, n});
        most = blocks[f].size() > most ? blocks[f].size() : most;
    }
    auto model = std::make_unique<FrameModel>();
    model->version = kWarmModelVersion;
    std::vector<std::uint8_t> payload;
    std::size_t in = 0, out = 0;
    for (std::size_t k = 0; k < most; ++k) {
        for (std::size_t f = 0; f < files.size(); ++f) {
            if (k >= blocks[f].size()) continue;
            const Block& b = blocks[f][k];
            if (encode_chunk_on(model, b.file->data() + b.start, b.length, payload) != 0) {
                std::fprintf(stderr, "%s: block %zu cannot be coded\n", training[f].c_str(), k);
                return 1;
            }
            in += b.length;
            out += payload.size();
        }
    }
    std::printf("trained on %zu files, %zu bytes (coded as they were learnt: %.2f%% smaller)\n", files.size(), in,
                100.0 * (1.0 - static_cast<double>(out) / static_cast<double>(in)));

    std::vector<std::vector<std::uint8_t>> held(heldout.size());
    std::vector<std::size_t> cold(heldout.size());
    for (std::size_t h = 0; h < heldout.size(); ++h) {
        if (!read_whole(heldout[h], held[h])) {
            std::fprintf(stderr, "cannot read %s\n", heldout[h].c_str());
            return 1;
        }
        cold[h] = packed_size(held[h], nullptr);
    }
    std::vector<std::uint8_t> state;
    for (const PriorStrength& s : strengths) {
        auto soft = std::make_unique<FrameModel>();
        *soft = *model;
        soften_model_state(*soft, s);
        save_model_state(*soft, state);
        if (heldout.empty()) continue;
        // what the packer starts from: the state as saved and loaded
        soft = std::make_unique<FrameModel>();
        if (!load_model_state(*soft, state.data(), state.size())) {
            std::fprintf(stderr, "the saved state does not load\n");
            return 1;
        }
        double gain = 0;
        for (std::size_t h = 0; h < held.size(); ++h) {
            const std::size_t warm = packed_size(held[h], soft.get());
            gain += 100.0 * (static_cast<double>(cold[h]) - static_cast<double>(warm)) / static_cast<double>(held[h].size());
        }
        std::printf("strength %u:%u:%u: %zu bytes of state, held-out files gain %.3f points on average\n", s.bit_count,
                    s.symbol_total, s.min_seen, state.size(), gain / static_cast<double>(held.size()));
    }
    // the table is made with the last strength asked for
    if (!table.empty()) write_table(table, state, command, files.size());
    return 0;
}
