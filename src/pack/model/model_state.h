// The learnt state of a model generation's record (every adaptive statistic: bits, trees,
// symbol counts, mixer weights, refinement maps; not the channel histories or last values,
// which belong to the stream being coded) as bytes, the same on every machine, and back.
//
// A generation names its tables in one list, visit_tables(v, model), which calls
// v.table("name", table) for each. The saved state is tagged by those names:
//
//   state   "AZPS", layout 2 (u8), table count (u32), then each table:
//   table   name length (u8), name, signature length (u16), signature, data length (u32), data
//
// All numbers little-endian. The signature spells the table's shape (its dimensions and the
// kinds of statistic in each entry, "L12(...)" for a LazyTable of 12 entries), so a state
// never loads into a table of another shape; the data is the table's statistics in the order
// the walk meets them (a Bit as its count, and when it has seen any, one of 256 probability
// levels; a LazyTable as its started entries, each with its index). A table the state does
// not name starts as it is constructed: a table added to a model later cannot shift what the
// earlier ones load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "pack/model/adaptive.h"
#include "pack/model/common_models.h"
#include "pack/model/context_table.h"

constexpr std::uint8_t kStateMagic[4] = {'A', 'Z', 'P', 'S'};
constexpr std::uint8_t kStateLayout = 2;
// A mixer weight well beyond anything learning reaches; a loaded state must stay within it.
constexpr std::int32_t kMaxMixerWeight = 1 << 24;

// ---------------------------------------------------------------------------------------------
// The walk over one table's statistics. Each overload names the statistics of one kind of model.

template <class V>
void visit(V& v, Bit& b) {
    v.bit(b);
}
template <class V, unsigned N>
void visit(V& v, Mixer<N>& mx) {
    v.mark('m', N);
    for (std::int32_t& w : mx.w) v.weight(w);
}
template <class V>
void visit(V& v, Apm& a) {
    v.mark('a', kApmKnots);
    for (std::uint16_t& t : a.t) v.u16(t);
}
template <class V>
void visit(V& v, SymbolModel& s) {
    v.symbols(s);
}
template <class V, unsigned N>
void visit(V& v, BitTree<N>& t) {
    v.mark('t', N);
    for (Bit& b : t.b) visit(v, b);
}
template <class V>
void visit(V& v, UintModel& u) {
    v.mark('u', 0);
    for (Bit& b : u.length) visit(v, b);
    for (Bit& b : u.second) visit(v, b);
}
template <class V>
void visit(V& v, SintModel& s) {
    v.mark('i', 0);
    visit(v, s.zero);
    visit(v, s.sign);
    visit(v, s.magnitude);
}
template <class V, class T, std::size_t N>
void visit(V& v, Ctx<T, N>& c) {
    v.ctx(c);
}
template <class V>
void visit(V& v, FieldModel& f) {
    visit(v, f.same);
    visit(v, f.wide);
}
template <class V, class T, std::size_t... Dims>
void visit(V& v, LazyTable<T, Dims...>& t) {
    v.lazy(t);
}

// Entry i of a LazyTable is constructed as T(), or as T(a) with a its index along the table's
// first dimension (a line book is made for its codebook).
template <class T, std::size_t First, std::size_t... More>
void start_entry_at(LazyTable<T, First, More...>& t, std::size_t i) {
    if constexpr (std::is_default_constructible<T>::value) {
        start_entry(t, i);
    } else {
        start_entry(t, i, static_cast<unsigned>(i / (t.kCount / First)));
    }
}

// ---------------------------------------------------------------------------------------------
// A table's signature: its shape, whatever its values.

struct Signer {
    std::string text;
    void bit(Bit&) { text += 'b'; }
    void mark(char kind, unsigned n) { text += kind + std::to_string(n); }
    void weight(std::int32_t&) {}
    void u16(std::uint16_t&) {}
    void symbols(SymbolModel&) { text += 's'; }
    template <class T, std::size_t N>
    void ctx(Ctx<T, N>& c) {
        text += std::to_string(N) + "(";
        visit(*this, c.v[0]);
        text += ")";
    }
    template <class T, std::size_t... Dims>
    void lazy(LazyTable<T, Dims...>&) {
        text += "L";
        ((text += std::to_string(Dims) + "."), ...);
        text += "(";
        // the shape of an entry, from one made on the side (an entry may be large)
        auto sample = std::make_unique<LazyTable<T, Dims...>>();
        start_entry_at(*sample, 0);
        visit(*this, sample->storage.v[0]);
        text += ")";
    }
};

template <class T>
std::string signature_of(T& table) {
    Signer s;
    visit(s, table);
    return s.text;
}

// ---------------------------------------------------------------------------------------------
// Saving and loading the values of one table.

// The 256 probability levels a saved Bit is kept at, evenly spaced in the logistic domain (a
// sixteenth of a logit apart, far finer than a dozen decisions can tell): a trained state is
// mostly Bits, and at three bytes each it did not compress to half.
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
inline constexpr BitLevels kBitLevels = make_bit_levels();

// The level nearest p (the lowest of equally near ones), so that a level read back saves as itself.
unsigned bit_level(std::uint32_t p);

struct StateWriter {
    std::vector<std::uint8_t>& out;
    void put(std::uint32_t x, unsigned bytes) {
        for (unsigned i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
    }
    void bit(Bit& b) {
        put(b.n, 1);
        if (b.n != 0) put(bit_level(b.p), 1);
    }
    void mark(char, unsigned) {}
    void u16(std::uint16_t& x) { put(x, 2); }
    void weight(std::int32_t& w) { put(static_cast<std::uint32_t>(w), 4); }
    void symbols(SymbolModel& s);
    template <class T, std::size_t N>
    void ctx(Ctx<T, N>& c) {
        for (T& e : c) visit(*this, e);
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

// Every value checked against what the coder relies on (a Bit's count indexes the rate table,
// a symbol model's counts split the range), so that no input can put a model in a state the
// coder cannot use.
struct StateReader {
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
    void mark(char, unsigned) {}
    void u16(std::uint16_t& x) { x = static_cast<std::uint16_t>(get(2)); }
    void weight(std::int32_t& w) {
        w = static_cast<std::int32_t>(get(4));
        if (w < -kMaxMixerWeight || w > kMaxMixerWeight) ok = false;
    }
    void symbols(SymbolModel& s);
    template <class T, std::size_t N>
    void ctx(Ctx<T, N>& c) {
        for (T& e : c) visit(*this, e);
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
            start_entry_at(t, i);  // every statistic is read over what the constructor set up
            visit(*this, t.storage.v[i]);
        }
    }
};

// ---------------------------------------------------------------------------------------------
// The whole state: each table of the list, tagged.

struct TableWriter {
    std::vector<std::uint8_t>& out;
    std::uint32_t count = 0;
    template <class T>
    void table(const char* name, T& t) {
        StateWriter w{out};
        const std::size_t n = std::strlen(name);
        const std::string sig = signature_of(t);
        w.put(static_cast<std::uint32_t>(n), 1);
        out.insert(out.end(), name, name + n);
        w.put(static_cast<std::uint32_t>(sig.size()), 2);
        out.insert(out.end(), sig.begin(), sig.end());
        const std::size_t at = out.size();
        w.put(0, 4);  // the data length, once known
        visit(w, t);
        const std::size_t length = out.size() - at - 4;
        for (unsigned i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(length >> (8 * i));
        ++count;
    }
};

// One table of a saved state, as found in it.
struct SavedTable {
    std::string name;
    std::string signature;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    bool used = false;  // a table of the model's took it
};

// Splits a saved state into its tables; false when it is not one (a bad magic, layout or length).
bool split_state(const std::uint8_t* data, std::size_t size, std::vector<SavedTable>& tables, std::string& why);

struct TableReader {
    std::vector<SavedTable>& tables;
    std::string why;  // empty while every table loads
    template <class T>
    void table(const char* name, T& t) {
        if (!why.empty()) return;
        SavedTable* found = nullptr;
        for (SavedTable& s : tables) {
            if (s.name != name) continue;
            if (found != nullptr) {
                why = "table " + s.name + " is named twice";
                return;
            }
            found = &s;
        }
        if (found == nullptr) return;
        found->used = true;
        if (found->signature != signature_of(t)) {
            why = "table " + found->name + " has another shape";
            return;
        }
        StateReader r{found->data, found->size};
        visit(r, t);
        if (!r.ok || r.pos != found->size) why = "table " + found->name + " does not hold its statistics";
    }
};

// Saves the tables a generation lists.
template <class Model>
void save_model_state(Model& m, std::vector<std::uint8_t>& out) {
    out.assign(kStateMagic, kStateMagic + sizeof kStateMagic);
    out.push_back(kStateLayout);
    const std::size_t count_at = out.size();
    out.insert(out.end(), 4, 0);
    TableWriter w{out};
    visit_tables(w, m);
    for (unsigned i = 0; i < 4; ++i) out[count_at + i] = static_cast<std::uint8_t>(w.count >> (8 * i));
}

// Loads a saved state into m (a model that has coded nothing yet). Returns an empty string,
// or what is wrong: it is no state, a table has another shape or holds what no model could
// have learnt, or names a table the generation does not have.
template <class Model>
[[nodiscard]] std::string load_model_state(Model& m, const std::uint8_t* data, std::size_t size) {
    std::vector<SavedTable> tables;
    std::string why;
    if (!split_state(data, size, tables, why)) return why;
    TableReader r{tables, {}};
    visit_tables(r, m);
    if (!r.why.empty()) return r.why;
    for (const SavedTable& s : tables)
        if (!s.used) return "table " + s.name + " is not one of the model's";
    return "";
}

// ---------------------------------------------------------------------------------------------
// Starting a chunk's models from the trained ones: every fixed table is copied whole, and every
// LazyTable is pointed at its trained counterpart, from which an entry is copied when the
// chunk first reaches it. A chunk of a few frames then costs little more than one that starts
// from nothing. The trained model is met through the same list as the one started: each table
// of `to` is found in `from` at the same place in the record.
template <class Model>
struct Starter {
    Model* to;
    const Model* from;
    template <class T>
    const T& trained(const T& x) const {
        const auto offset = reinterpret_cast<const char*>(&x) - reinterpret_cast<const char*>(to);
        return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(from) + offset);
    }
    template <class T, std::size_t... Dims>
    void table(const char*, LazyTable<T, Dims...>& t) {
        t.warm = &trained(t);
    }
    template <class T>
    void table(const char*, T& t) {
        t = trained(t);
    }
};

// Sets m (a model that has coded nothing yet) up from a trained model of its generation.
template <class Model>
void start_models_from(Model& m, const Model& trained) {
    Starter<Model> s{&m, &trained};
    visit_tables(s, m);
}
