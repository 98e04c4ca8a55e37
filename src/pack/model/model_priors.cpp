// The models' starting state: one walk over every adaptive statistic of a FrameModel, written
// once as a template over a visitor, serves saving, loading and softening alike. A LazyTable
// gives only its started entries, each with its index.
#include "pack/model/model_priors.h"

#include <zstd.h>

#include <cstring>
#include <memory>
#include <type_traits>

#include <xxhash.h>

namespace {

constexpr std::uint8_t kStateMagic[4] = {'A', 'Z', 'P', 'S'};
// A mixer weight well beyond anything learning reaches; a loaded state must stay within it.
constexpr std::int32_t kMaxMixerWeight = 1 << 24;

// ---------------------------------------------------------------------------------------------
// The walk. Each overload names the statistics of one kind of model; visit(v, FrameModel&)
// lists the FrameModel's, in an order that is part of the saved state's layout.

template <class V>
void visit(V& v, Bit& b) {
    v.bit(b);
}
template <class V, unsigned N>
void visit(V& v, Mixer<N>& mx) {
    for (std::int32_t& w : mx.w) v.weight(w);
}
template <class V>
void visit(V& v, Apm& a) {
    for (std::uint16_t& t : a.t) v.u16(t);
}
template <class V>
void visit(V& v, SymbolModel& s) {
    v.symbols(s);
}
template <class V, unsigned N>
void visit(V& v, BitTree<N>& t) {
    for (Bit& b : t.b) visit(v, b);
}
template <class V>
void visit(V& v, UintModel& u) {
    for (Bit& b : u.length) visit(v, b);
    for (Bit& b : u.second) visit(v, b);
}
template <class V>
void visit(V& v, SintModel& s) {
    visit(v, s.zero);
    visit(v, s.sign);
    visit(v, s.magnitude);
}
template <class V, class T, std::size_t N>
void visit(V& v, Ctx<T, N>& c) {
    if constexpr (V::kWholeTables)
        v.whole(c);
    else
        for (T& e : c) visit(v, e);
}
template <class V>
void visit(V& v, FieldModel& f) {
    visit(v, f.same);
    visit(v, f.wide);
}
template <class V>
void visit(V& v, LineBookModel& b) {
    visit(v, b.band_zero);
    visit(v, b.zero_fine);
    visit(v, b.zero_pair);
    visit(v, b.zero_prev2);
    visit(v, b.zero_mix);
    visit(v, b.zero_apm);
    visit(v, b.zero_mix_near);
    visit(v, b.magnitude);
    visit(v, b.joint);
    visit(v, b.magnitude_at);
    visit(v, b.joint_at);
    visit(v, b.zero_apm_at);
    visit(v, b.sign_pair);
}
template <class V>
void visit(V& v, EscapeLength& e) {
    visit(v, e.length);
}
template <class V, class T, std::size_t... Dims>
void visit(V& v, LazyTable<T, Dims...>& t) {
    v.lazy(t);
}

template <class V>
void visit(V& v, FrameModel& m) {
    visit(v, m.field_small);
    visit(v, m.field);
    visit(v, m.global_gain_delta);
    visit(v, m.sect_cb);
    visit(v, m.sect_len);
    visit(v, m.sect_cb_mix);
    visit(v, m.sect_cb_band);
    visit(v, m.sect_cb_mix3);
    visit(v, m.sect_len_cb);
    visit(v, m.sect_len_band);
    visit(v, m.sect_len_mix);
    visit(v, m.ms_used);
    visit(v, m.sf_before);
    visit(v, m.sf_band);
    visit(v, m.sf_pair);
    visit(v, m.sf_mix);
    visit(v, m.sfs_expected);
    visit(v, m.sfs_last);
    visit(v, m.sfs_two_back);
    visit(v, m.sfs_band);
    visit(v, m.sfr_expected);
    visit(v, m.sfr_last);
    visit(v, m.sfr_partner);
    visit(v, m.sfr_band);
    visit(v, m.sfs_mix);
    visit(v, m.sfs_escape);
    visit(v, m.line_book);
    visit(v, m.escape);
    visit(v, m.escape_length);
    visit(v, m.escape_mantissa);
    visit(v, m.byte);
    visit(v, m.byte0);
    visit(v, m.byte_mix);
    visit(v, m.unit_is_frame);
    visit(v, m.frame_modelled);
    visit(v, m.run_length);
    visit(v, m.raw_frame_length);
    visit(v, m.unit_context_same);
    visit(v, m.run_is_sizes);
    visit(v, m.sizes_first);
    visit(v, m.sizes_count);
    visit(v, m.unit_object_type);
    visit(v, m.unit_sf_index);
}

// ---------------------------------------------------------------------------------------------
// A Bit is kept as its count and its probability in one of 256 levels, evenly spaced in the
// logistic domain (a sixteenth of a logit apart, far finer than a dozen decisions can tell):
// a trained state is mostly Bits, and at three bytes each it did not compress to half.

struct BitLevels {
    std::uint16_t p[256];  // probability of a 0 in 1/65536 at each level
};
constexpr BitLevels make_bit_levels() {
    BitLevels t{};
    for (int q = 0; q < 256; ++q) {
        const std::uint32_t p0 = kProbOne - 16u * static_cast<std::uint32_t>(squash((q - 128) * 16 + 8));
        t.p[q] = static_cast<std::uint16_t>(p0 < kProbMin ? kProbMin : p0 > kProbMax ? kProbMax : p0);
    }
    return t;
}
constexpr BitLevels kBitLevels = make_bit_levels();

// The level nearest p (the lowest of equally near ones), so that a level read back saves as
// itself.
unsigned bit_level(std::uint32_t p) {
    unsigned best = 0;
    std::uint32_t best_distance = ~0u;
    for (unsigned q = 0; q < 256; ++q) {
        const std::uint32_t level = kBitLevels.p[q];
        const std::uint32_t distance = level > p ? level - p : p - level;
        if (distance < best_distance) {
            best = q;
            best_distance = distance;
        }
    }
    return best;
}

// ---------------------------------------------------------------------------------------------
// Saving: every value little-endian at its width; a Bit that has seen nothing is one byte.

struct Writer {
    static constexpr bool kWholeTables = false;
    std::vector<std::uint8_t>& out;
    void put(std::uint32_t x, unsigned bytes) {
        for (unsigned i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
    }
    void bit(Bit& b) {
        put(b.n, 1);
        if (b.n != 0) put(bit_level(b.p), 1);
    }
    void u16(std::uint16_t& x) { put(x, 2); }
    void weight(std::int32_t& w) { put(static_cast<std::uint32_t>(w), 4); }
    void symbols(SymbolModel& s) {
        SymbolModel start;
        start_symbols(start, s.n);
        if (std::memcmp(start.cum, s.cum, sizeof s.cum) == 0 && start.n == s.n) {
            // as it started: a zero, then its symbol count
            put(0, 1);
            put(s.n, 1);
            return;
        }
        put(s.n, 1);
        for (std::uint16_t c : s.cum) put(c, 2);
    }
    template <class T, std::size_t... Dims>
    void lazy(LazyTable<T, Dims...>& t) {
        std::uint32_t count = 0;
        for (std::size_t i = 0; i < t.kCount; ++i) count += started_entry(t.started, i) ? 1u : 0u;
        put(count, 4);
        for (std::size_t i = 0; i < t.kCount; ++i) {
            if (!started_entry(t.started, i)) continue;
            put(static_cast<std::uint32_t>(i), 4);
            visit(*this, t.storage.v[i]);
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Loading: every value checked against what the coder relies on (a Bit's count indexes the
// rate table, a symbol model's counts split the range), so that no input can put a model in a
// state the coder cannot use.

struct Reader {
    static constexpr bool kWholeTables = false;
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    bool ok = true;
    std::uint32_t get(unsigned bytes) {
        if (!ok || size - pos < bytes) {
            ok = false;
            return 0;
        }
        std::uint32_t x = 0;
        for (unsigned i = 0; i < bytes; ++i) x |= std::uint32_t{data[pos + i]} << (8 * i);
        pos += bytes;
        return x;
    }
    void bit(Bit& b) {
        const std::uint32_t n = get(1);
        if (n > kBitLimit) ok = false;
        b.p = n != 0 ? kBitLevels.p[get(1)] : static_cast<std::uint16_t>(kProbOne / 2);
        b.n = static_cast<std::uint8_t>(n);
    }
    void u16(std::uint16_t& x) { x = static_cast<std::uint16_t>(get(2)); }
    void weight(std::int32_t& w) {
        w = static_cast<std::int32_t>(get(4));
        if (w < -kMaxMixerWeight || w > kMaxMixerWeight) ok = false;
    }
    void symbols(SymbolModel& s) {
        s.n = static_cast<std::uint16_t>(get(1));
        if (s.n == 0) {
            const unsigned n = get(1);
            if (n < 1 || n > kSymbolsMax) ok = false;
            start_symbols(s, n);
            return;
        }
        for (std::uint16_t& c : s.cum) c = static_cast<std::uint16_t>(get(2));
        if (s.n < 1 || s.n > kSymbolsMax || s.cum[0] != 0 || s.cum[kSymbolsMax] > kSymbolLimit) ok = false;
        for (unsigned i = 0; ok && i < kSymbolsMax; ++i)
            if (i < s.n ? s.cum[i + 1] <= s.cum[i] : s.cum[i + 1] != s.cum[i]) ok = false;
    }
    template <class T, std::size_t... Dims>
    void lazy(LazyTable<T, Dims...>& t) {
        const std::uint32_t count = get(4);
        if (count > t.kCount) ok = false;
        std::size_t last = 0;
        for (std::uint32_t k = 0; ok && k < count; ++k) {
            const std::uint32_t i = get(4);
            if (!ok || i >= t.kCount || (k > 0 && i <= last)) {
                ok = false;
                return;
            }
            last = i;
            // every statistic of the entry is read over what its constructor set up
            if constexpr (std::is_default_constructible<T>::value) {
                start_entry(t, i);
            } else {
                start_entry(t, i, static_cast<unsigned>(i % kLineBooks));
            }
            visit(*this, t.storage.v[i]);
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Softening.

// How often training met an entry: the most decisions any of its Bits counted, or the
// occurrences any of its symbol distributions counted beyond its start.
struct SeenCount {
    static constexpr bool kWholeTables = false;
    unsigned seen = 0;
    void bit(Bit& b) { seen = b.n > seen ? b.n : seen; }
    void u16(std::uint16_t&) {}
    void weight(std::int32_t&) {}
    void symbols(SymbolModel& s) {
        const unsigned start = 2u * s.n;
        const unsigned counted = s.cum[kSymbolsMax] > start ? (s.cum[kSymbolsMax] - start) / kSymbolStep : 0u;
        seen = counted > seen ? counted : seen;
    }
    template <class T, std::size_t... Dims>
    void lazy(LazyTable<T, Dims...>&) {}
};

struct Softener {
    static constexpr bool kWholeTables = false;
    PriorStrength strength;
    void bit(Bit& b) {
        if (b.n < strength.min_seen) {
            b.p = static_cast<std::uint16_t>(kProbOne / 2);
            b.n = 0;
        }
        if (b.n > strength.bit_count) b.n = static_cast<std::uint8_t>(strength.bit_count);
    }
    void u16(std::uint16_t&) {}
    void weight(std::int32_t&) {}
    void symbols(SymbolModel& s) {
        const unsigned total = s.cum[kSymbolsMax];
        if (total <= strength.symbol_total) return;
        // each count scaled down, none of the n below 1
        unsigned sum = 0;
        unsigned before = 0;
        for (unsigned i = 1; i <= kSymbolsMax; ++i) {
            const unsigned count = s.cum[i] - before;
            before = s.cum[i];
            if (i <= s.n) {
                const unsigned scaled = count * strength.symbol_total / total;
                sum += scaled < 1 ? 1 : scaled;
            }
            s.cum[i] = static_cast<std::uint16_t>(sum);
        }
    }
    template <class T, std::size_t... Dims>
    void lazy(LazyTable<T, Dims...>& t) {
        for (std::size_t i = 0; i < t.kCount; ++i) {
            if (!started_entry(t.started, i)) continue;
            SeenCount count;
            visit(count, t.storage.v[i]);
            if (count.seen < strength.min_seen)
                t.started[i >> 6] &= ~(std::uint64_t{1} << (i & 63));
            else
                visit(*this, t.storage.v[i]);
        }
    }
};

// ---------------------------------------------------------------------------------------------
// Starting a chunk's models from the trained ones: every statistic of a fixed table is copied
// (a whole table at once), and every LazyTable is pointed at its trained counterpart, from which
// an entry is copied when the chunk first reaches it. A chunk of a few frames then costs little
// more than one that starts from nothing. The trained model is met through the same walk as
// the one started: each statistic of `to` is found in `from` at the same place in the model.

struct Starter {
    static constexpr bool kWholeTables = true;
    FrameModel* to;
    const FrameModel* from;
    template <class T>
    const T& trained(const T& x) const {
        const auto offset = reinterpret_cast<const char*>(&x) - reinterpret_cast<const char*>(to);
        return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(from) + offset);
    }
    template <class T, std::size_t N>
    void whole(Ctx<T, N>& c) {
        c = trained(c);
    }
    void bit(Bit& b) { b = trained(b); }
    void u16(std::uint16_t& x) { x = trained(x); }
    void weight(std::int32_t& w) { w = trained(w); }
    void symbols(SymbolModel& s) { s = trained(s); }
    template <class T, std::size_t... Dims>
    void lazy(LazyTable<T, Dims...>& t) {
        t.warm = &trained(t);
    }
};

// The trained state of version 4, made once from the committed table and shared read-only
// by every chunk after: decompressing it for each chunk would cost more than a small chunk's
// coding. Null when the table does not hold a state (then chunks start cold).
const FrameModel* trained_v4() {
    static const FrameModel* const trained = []() -> const FrameModel* {
        if (kModelPriorsV4Size == 0) return nullptr;
        const unsigned long long size = ZSTD_getFrameContentSize(kModelPriorsV4, kModelPriorsV4Size);
        if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN || size > (64u << 20)) return nullptr;
        std::vector<std::uint8_t> state(static_cast<std::size_t>(size));
        const std::size_t r = ZSTD_decompress(state.data(), state.size(), kModelPriorsV4, kModelPriorsV4Size);
        if (ZSTD_isError(r) || r != state.size()) return nullptr;
        if (XXH3_64bits(state.data(), state.size()) != kModelPriorsV4Hash) return nullptr;
        auto m = std::make_unique<FrameModel>();
        if (!load_model_state(*m, state.data(), state.size())) return nullptr;
        return m.release();  // kept for the life of the process
    }();
    return trained;
}

}  // namespace

void start_models(FrameModel& m, unsigned version) {
    start_models_from(m, version >= kWarmModelVersion ? trained_v4() : nullptr, version);
}

void start_models_from(FrameModel& m, const FrameModel* trained, unsigned version) {
    if (trained != nullptr) {
        Starter s{&m, trained};
        visit(s, m);
    }
    m.version = static_cast<std::uint16_t>(version);
}

void save_model_state(FrameModel& m, std::vector<std::uint8_t>& out) {
    out.clear();
    Writer w{out};
    for (std::uint8_t c : kStateMagic) w.put(c, 1);
    visit(w, m);
}

bool load_model_state(FrameModel& m, const std::uint8_t* data, std::size_t size) {
    if (size < sizeof kStateMagic || std::memcmp(data, kStateMagic, sizeof kStateMagic) != 0) return false;
    Reader r{data, size, sizeof kStateMagic};
    visit(r, m);
    return r.ok && r.pos == size;
}

void soften_model_state(FrameModel& m, const PriorStrength& strength) {
    Softener s{strength};
    visit(s, m);
}
