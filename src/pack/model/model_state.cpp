// Saving, loading and softening a model's learnt state: the parts that are not templates.
#include "pack/model/model_state.h"
#include "pack/model/model_training.h"

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

void StateWriter::symbols(SymbolModel& s) {
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

void StateReader::symbols(SymbolModel& s) {
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

void Softener::symbols(SymbolModel& s) {
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

bool split_state(const std::uint8_t* data, std::size_t size, std::vector<SavedTable>& tables, std::string& why) {
    tables.clear();
    StateReader r{data, size};
    std::uint8_t magic[sizeof kStateMagic];
    for (std::uint8_t& c : magic) c = static_cast<std::uint8_t>(r.get(1));
    if (!r.ok || std::memcmp(magic, kStateMagic, sizeof magic) != 0) {
        why = "no model state (its magic number is missing)";
        return false;
    }
    const std::uint32_t layout = r.get(1);
    if (r.ok && layout != kStateLayout) {
        why = "a model state of layout " + std::to_string(layout) + ", not " + std::to_string(kStateLayout);
        return false;
    }
    const std::uint32_t count = r.get(4);
    for (std::uint32_t k = 0; r.ok && k < count; ++k) {
        SavedTable t;
        const std::uint32_t name = r.get(1);
        if (!r.ok || size - r.pos < name) break;
        t.name.assign(reinterpret_cast<const char*>(data + r.pos), name);
        r.pos += name;
        const std::uint32_t signature = r.get(2);
        if (!r.ok || size - r.pos < signature) break;
        t.signature.assign(reinterpret_cast<const char*>(data + r.pos), signature);
        r.pos += signature;
        const std::uint32_t length = r.get(4);
        if (!r.ok || size - r.pos < length) break;
        t.data = data + r.pos;
        t.size = length;
        r.pos += length;
        tables.push_back(std::move(t));
    }
    if (!r.ok || tables.size() != count || r.pos != size) {
        why = "the model state is cut short or has bytes past its tables";
        return false;
    }
    return true;
}
