// Training a model's starting state (tools/train_priors.cpp): what a generation's models learnt
// on the training music, turned into priors a chunk can still learn from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pack/model/model_state.h"


// Every Bit keeps its probability but counts at most bit_count decisions (so it adapts at
// 1/(bit_count+2) at first), and every symbol distribution keeps its shape within a total of
// symbol_total. A Bit training met fewer than min_seen times starts as one that has seen
// nothing, and an entry of a LazyTable met fewer times is dropped: what they learnt is more
// noise than knowledge, and the state is smaller without it.
struct PriorStrength {
    unsigned bit_count = 12;
    unsigned symbol_total = 1024;
    unsigned min_seen = 0;
};

// How often training met an entry: the most decisions any of its Bits counted, or the
// occurrences any of its symbol distributions counted beyond its start.
struct SeenCount {
    unsigned seen = 0;
    void bit(Bit& b) { seen = b.n > seen ? b.n : seen; }
    void mark(char, unsigned) {}
    void u16(std::uint16_t&) {}
    void weight(std::int32_t&) {}
    void symbols(SymbolModel& s) {
        const unsigned start = 2u * s.n;
        const unsigned counted = s.cum[kSymbolsMax] > start ? (s.cum[kSymbolsMax] - start) / kSymbolStep : 0u;
        seen = counted > seen ? counted : seen;
    }
    template <class T, std::size_t N>
    void ctx(Ctx<T, N>& c) {
        for (T& e : c) visit(*this, e);
    }
    template <class T, std::size_t... Dims>
    void lazy(LazyTable<T, Dims...>&) {}
};

struct Softener {
    PriorStrength strength;
    void bit(Bit& b) {
        if (b.n < strength.min_seen) {
            b.p = static_cast<std::uint16_t>(kProbOne / 2);
            b.n = 0;
        }
        if (b.n > strength.bit_count) b.n = static_cast<std::uint8_t>(strength.bit_count);
    }
    void mark(char, unsigned) {}
    void u16(std::uint16_t&) {}
    void weight(std::int32_t&) {}
    void symbols(SymbolModel& s);
    template <class T, std::size_t N>
    void ctx(Ctx<T, N>& c) {
        for (T& e : c) visit(*this, e);
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
    template <class T>
    void table(const char*, T& t) {
        visit(*this, t);
    }
};

template <class Model>
void soften_model_state(Model& m, const PriorStrength& strength) {
    Softener s{strength};
    visit_tables(s, m);
}

