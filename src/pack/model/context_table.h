// The tables the packed form's models keep their statistics in. A table names its dimensions
// in its type (Table<Bit, kLineBooks, kNearBuckets> is indexed [cb][near]) and every index
// goes through checked_index: in a build without NDEBUG (debug and sanitizer builds) an index
// past its dimension stops the program there, instead of landing unseen in the next table of
// the same model, where both directions would make the same mistake and only the packed size
// would show it. With NDEBUG the check costs nothing. Contexts built from unbounded values are
// brought into their dimension by the one clamp, clamp_index.
//
// A LazyTable's entries are set up on first use: a model that codes one small frame then sets
// up what that frame touches, not every context it might have reached.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

inline std::size_t checked_index(std::size_t i, std::size_t dim) {
    assert(i < dim && "context index past its table's dimension");
    (void)dim;
    return i;
}

// v within a dimension of dim entries: the last entry takes every larger value.
constexpr unsigned clamp_index(unsigned v, std::size_t dim) {
    return v < dim ? v : static_cast<unsigned>(dim - 1);
}

// One dimension of a table: N entries of T.
template <class T, std::size_t N>
struct Ctx {
    T v[N];
    static constexpr std::size_t size() { return N; }
    T& operator[](std::size_t i) { return v[checked_index(i, N)]; }
    const T& operator[](std::size_t i) const { return v[checked_index(i, N)]; }
    T* data() { return v; }
    T* begin() { return v; }
    T* end() { return v + N; }
};

template <class T, std::size_t N, std::size_t... More>
struct TableOf {
    using type = Ctx<typename TableOf<T, More...>::type, N>;
};
template <class T, std::size_t N>
struct TableOf<T, N> {
    using type = Ctx<T, N>;
};
// Table<T, A, B, C> is indexed [a][b][c] with a < A, b < B, c < C.
template <class T, std::size_t... Dims>
using Table = typename TableOf<T, Dims...>::type;

// A table of T indexed [a][b]... (a < A, b < B, ...) whose entries start as T() (or T(arg))
// on their first use, or as a copy of the same entry of a warm table when one is given and has
// it. Only the map of started entries is set up with the table, so a table that starts from a
// trained one copies only the entries its chunk reaches.
template <class T, std::size_t... Dims>
struct LazyTable {
    static_assert(std::is_trivially_destructible<T>::value, "entries are dropped without being destroyed");
    static constexpr std::size_t kCount = (Dims * ... * 1);
    std::uint64_t started[(kCount + 63) / 64];
    const LazyTable* warm = nullptr;  // read only; outlives this table
    union Storage {
        T v[kCount];
        Storage() {}  // left unset: an entry is constructed when first used
    } storage;
    LazyTable() {
        for (std::uint64_t& word : started) word = 0;
    }
};

template <std::size_t... Dims, class... Index>
inline std::size_t flat_index(Index... index) {
    static_assert(sizeof...(Dims) == sizeof...(Index), "one index per dimension");
    std::size_t i = 0;
    ((i = i * Dims + checked_index(static_cast<std::size_t>(index), Dims)), ...);
    return i;
}

inline bool started_entry(const std::uint64_t* started, std::size_t i) { return ((started[i >> 6] >> (i & 63)) & 1u) != 0; }

template <class T, std::size_t... Dims, class... Args>
[[gnu::noinline]] void start_entry(LazyTable<T, Dims...>& t, std::size_t i, const Args&... args) {
    if (t.warm != nullptr && started_entry(t.warm->started, i))
        new (&t.storage.v[i]) T(t.warm->storage.v[i]);
    else
        new (&t.storage.v[i]) T(args...);
    t.started[i >> 6] |= std::uint64_t{1} << (i & 63);
}

// The entry at index..., started as T() if this is its first use.
template <class T, std::size_t... Dims, class... Index>
inline T& entry(LazyTable<T, Dims...>& t, Index... index) {
    const std::size_t i = flat_index<Dims...>(index...);
    if (__builtin_expect(!started_entry(t.started, i), 0)) start_entry(t, i);
    return t.storage.v[i];
}

// The same, started as T(arg).
template <class T, std::size_t... Dims, class Arg, class... Index>
inline T& entry_with(LazyTable<T, Dims...>& t, const Arg& arg, Index... index) {
    const std::size_t i = flat_index<Dims...>(index...);
    if (__builtin_expect(!started_entry(t.started, i), 0)) start_entry(t, i, arg);
    return t.storage.v[i];
}
