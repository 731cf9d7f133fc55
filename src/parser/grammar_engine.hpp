// A thin layer over PEGTL that gives the grammar its four rule kinds (normal, silent,
// atomic, compound-atomic), the matching mode, implicit whitespace between the elements
// of sequences and repetitions, node building, and the bookkeeping of failed attempts
// that error reports are made from. PEGTL supplies the input and the terminal rules
// (literals, character classes, UTF-8 characters, start and end of input).
#pragma once

#include <cstddef>
#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include <tao/pegtl.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parser/nesting_budget.hpp"
#include "parser/parse_tree.hpp"
#include "parser/rule.hpp"

namespace quarnel::parser::grammar {
// The whitespace rule that sequences and repetitions skip.
struct WHITESPACE;
}  // namespace quarnel::parser::grammar

namespace quarnel::parser::peg {

namespace pegtl = tao::pegtl;

enum class Mode : std::uint8_t { non_atomic, atomic, compound_atomic };

// The bytes a rule's match can begin with, used to skip rules that must fail.
struct FirstSet {
    std::uint64_t bits[4] = {0, 0, 0, 0};
    bool nullable = false;  // may match without consuming: never skipped

    static constexpr FirstSet of(std::initializer_list<char> chars) {
        FirstSet set;
        for (const char c : chars) set.add(static_cast<unsigned char>(c));
        return set;
    }
    static constexpr FirstSet range(char lo, char hi) {
        FirstSet set;
        for (int c = lo; c <= hi; ++c) set.add(static_cast<unsigned char>(c));
        return set;
    }
    static constexpr FirstSet anything() {
        FirstSet set{{~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}, ~std::uint64_t{0}}, true};
        return set;
    }
    constexpr void add(unsigned char c) { bits[c >> 6] |= std::uint64_t{1} << (c & 63); }
    constexpr bool admits(unsigned char c) const { return (bits[c >> 6] >> (c & 63)) & 1; }
    constexpr FirstSet without(const FirstSet& other) const {
        FirstSet set;
        for (int i = 0; i < 4; ++i) set.bits[i] = bits[i] & ~other.bits[i];
        return set;
    }
    constexpr bool within(const FirstSet& other) const {
        for (int i = 0; i < 4; ++i) {
            if ((bits[i] & ~other.bits[i]) != 0) return false;
        }
        return !nullable || other.nullable;
    }
    constexpr FirstSet operator|(const FirstSet& other) const {
        FirstSet set;
        for (int i = 0; i < 4; ++i) set.bits[i] = bits[i] | other.bits[i];
        set.nullable = nullable || other.nullable;
        return set;
    }
};

// What a match depends on besides the input: the matching mode, whether it is inside a
// negative lookahead, and whether the run records failed attempts. Each follows from the
// rules around a match, so it is a template argument: the checks it drives cost nothing
// at run time, and the rules' bodies hold only the code of their own mode.
struct Context {
    Mode mode = Mode::non_atomic;
    bool negative = false;  // inside an odd number of negative lookaheads
    // The attempt bookkeeping only matters when a parse fails, so a parse first runs
    // without it, skipping rules that cannot start at the next character, and runs
    // again with it, building no nodes, only to report a failure.
    bool tracking = false;
    // Inside a rule that cannot nest: the nesting limit cannot be met during its match,
    // so the fast run asks only on entering it.
    bool cannot_nest = false;
    // The bytes the next one is known to be among, from a check made at this position
    // (nullable: it may be the end of input); a rule need not check it again.
    FirstSet next = FirstSet::anything();
    // A run for building the syntax tree, which leaves out the nodes it can do without
    // (see lean_drops): fewer nodes to make and to walk.
    bool lean = false;
    // A run that builds the syntax tree as it matches, handing the rules it matches to the
    // builder its input names (`Input::Sink`) instead of making nodes.
    bool build = false;

    constexpr Context in_mode(Mode body_mode) const { return with(&Context::mode, body_mode); }
    constexpr Context negated() const { return with(&Context::negative, !negative); }
    constexpr Context not_nesting() const { return with(&Context::cannot_nest, true); }
    constexpr Context knowing(const FirstSet& set) const { return with(&Context::next, set); }
    // After the position moves.
    constexpr Context moved() const { return knowing(FirstSet::anything()); }

private:
    template <typename T>
    constexpr Context with(T Context::*field, T value) const {
        Context changed = *this;
        changed.*field = value;
        return changed;
    }
};

// The nodes a lean run leaves out: a value holds exactly one constant, and a step exactly one
// property and at most one index, so the builder reads those directly; the end of input
// holds nothing at all.
constexpr bool lean_drops(Rule rule) {
    return rule == Rule::value || rule == Rule::step || rule == Rule::EOI;
}

// The comparison operators and NOT, which a lean run writes into the detail of their
// comparison's node instead of making nodes of their own: the builder reads them there and
// finds the value right after the path, without a walk over the comparison's children.
constexpr bool lean_folds(Rule rule) {
    return is_comparison_operator(rule) || rule == Rule::not_;
}

// The nodes made so far, in preorder. Pushing and dropping nodes happens for every rule
// attempt, so both stay inline; storage is left uninitialised until used, so reserving
// for a large input costs no memory that the parse does not fill.
class NodeStack {
public:
    // Uses `scratch`, memory of the caller's, where the expected nodes fit it.
    NodeStack(std::size_t expected, std::span<FlatNode> scratch) {
        if (expected <= scratch.size() && !scratch.empty()) {
            capacity_ = scratch.size();
            nodes_ = scratch.data();
            return;
        }
        if (expected == 0) {
            return;  // a run that makes no nodes (a building or a tracked one) allocates none
        }
        capacity_ = std::max<std::size_t>(expected, 16);
        storage_ = std::make_unique_for_overwrite<FlatNode[]>(capacity_);
        nodes_ = storage_.get();
        advise_large_nodes(nodes_, capacity_);
    }

    std::size_t size() const { return size_; }
    FlatNode& operator[](std::size_t index) { return nodes_[index]; }

    [[gnu::always_inline]] void push(const FlatNode& node) {
        if (size_ == capacity_) [[unlikely]] {
            grow();
        }
        nodes_[size_++] = node;
    }
    // Drops the nodes of a failed attempt.
    void truncate(std::size_t count) { size_ = count; }

    // Counts what a node that matched will take of the node block when built. Nodes dropped
    // later stay counted: the sums are upper bounds, and exact for a whole pattern that parses.
    void count_block_needs(Rule rule, std::size_t bytes) { needs_.add(rule, bytes); }
    // The same for the path node at `index` of a lean run, the last to have matched.
    void count_path_needs(std::size_t index) { needs_.add_path({&nodes_[index], size_ - index}); }

    ParseTree into_tree(std::string_view input) && {
        return ParseTree(input, std::move(storage_), nodes_, static_cast<std::uint32_t>(size_), needs_);
    }

private:
    [[gnu::noinline]] void grow() {
        const std::size_t capacity = std::max<std::size_t>(capacity_ * 2, 16);
        auto larger = std::make_unique_for_overwrite<FlatNode[]>(capacity);
        advise_large_nodes(larger.get(), capacity);
        std::copy(nodes_, nodes_ + size_, larger.get());
        storage_ = std::move(larger);
        nodes_ = storage_.get();
        capacity_ = capacity;
    }

    std::size_t capacity_ = 0;
    std::unique_ptr<FlatNode[]> storage_;  // unless the nodes lie in the caller's scratch
    FlatNode* nodes_ = nullptr;
    std::size_t size_ = 0;
    ParseTree::BlockNeeds needs_;
};

struct State {
    State(const char* input_begin, std::size_t expected_nodes, const NestingBudget& budget,
          std::span<FlatNode> scratch = {})
        : begin(input_begin),
          nodes(expected_nodes, scratch),
          max_depth(budget.levels),
          stack_floor(budget.stack_floor) {}

    const char* begin;
    NodeStack nodes;

    // Furthest position at which node-producing rules failed, and which ones.
    std::size_t attempt_pos = 0;
    std::vector<Rule> positive_attempts;
    std::vector<Rule> negative_attempts;

    // The node of the comparison a lean run entered last, whose operator it matches next: an
    // operator is only matched inside a comparison's first alternative, before any comparison
    // nested in a later one is entered. Only a comparison whose first alternative matched reads
    // the detail, and that attempt alone wrote it.
    std::size_t comparison_at = 0;

    // The builder of a building run (Context::build), an `Input::Sink`.
    void* sink = nullptr;

    std::size_t depth = 0;
    std::size_t max_depth;
    std::uintptr_t stack_floor;
    // Set once nesting exceeds max_depth; from then on every rule fails at once.
    std::optional<std::size_t> too_deep_at;

    std::size_t attempts_at(std::size_t pos) const {
        return pos == attempt_pos ? positive_attempts.size() + negative_attempts.size() : 0;
    }

    // Records a failed attempt of `rule` outside the atomic mode.
    void track(Rule rule, bool negative, std::size_t pos, std::size_t positive_len, std::size_t negative_len,
               std::size_t previous_attempts) {
        // A single more specific attempt recorded inside the rule stands for it.
        const std::size_t current_attempts = attempts_at(pos);
        if (current_attempts > previous_attempts && current_attempts - previous_attempts == 1) {
            return;
        }
        if (pos == attempt_pos) {
            positive_attempts.resize(positive_len);
            negative_attempts.resize(negative_len);
        }
        if (pos > attempt_pos) {
            positive_attempts.clear();
            negative_attempts.clear();
            attempt_pos = pos;
        }
        if (pos == attempt_pos) {
            (negative ? negative_attempts : positive_attempts).push_back(rule);
        }
    }
};

// Marks our own combinators; everything else is matched as a PEGTL rule.
struct combinator {};

// The builder of a building run: its input type names it, so that the engine need not.
template <typename Input>
typename Input::Sink& sink_of(const State& st) {
    return *static_cast<typename Input::Sink*>(st.sink);
}

// How many changes the builder has made to its tree so far; 0 outside a building run.
template <Context C, typename Input>
[[gnu::always_inline]] inline std::size_t sink_changes(const State& st) {
    if constexpr (C.build) {
        return sink_of<Input>(st).changes();
    } else {
        return 0;
    }
}

// A failed attempt after the builder changed its tree: the builder cannot take it back, so
// its tree is given up, and the caller builds again from a parse tree.
template <Context C, typename Input>
[[gnu::always_inline]] inline void undo_attempt(const State& st, std::size_t changes_before) {
    if constexpr (C.build) {
        auto& sink = sink_of<Input>(st);
        if (sink.changes() != changes_before) [[unlikely]] {
            sink.spoil();
        }
    }
}

template <typename Input>
std::size_t offset(const Input& in, const State& st) {
    return static_cast<std::size_t>(in.current() - st.begin);
}

// Every match leaves the position and the node list unchanged when it fails.
template <typename R, Context C, typename Input>
bool match(Input& in, State& st) {
    if constexpr (std::is_base_of_v<combinator, R>) {
        return R::template matches<C>(in, st);
    } else {
        return pegtl::match<R, pegtl::apply_mode::nothing, pegtl::rewind_mode::required,
                            pegtl::nothing, pegtl::normal>(in);
    }
}

template <typename Input>
void restore(Input& in, State& st, const char* position, std::size_t node_count) {
    in.iterator() = position;
    st.nodes.truncate(node_count);
}

// Implicit whitespace: zero or more `Whitespace`, only while the mode is non-atomic.
// Defined below, with the byte sets it uses.
template <typename Whitespace, Context C, typename Input>
void skip(Input& in, State& st);


template <typename... Rs>
struct seq;

template <typename First, typename... Rest>
struct seq<First, Rest...> : combinator {
    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        const char* start = in.current();
        const std::size_t node_count = st.nodes.size();
        [[maybe_unused]] const std::size_t changes = sink_changes<C, Input>(st);
        if (peg::match<First, C>(in, st) && (then<Rest, C.moved()>(in, st) && ...)) {
            return true;
        }
        undo_attempt<C, Input>(st, changes);
        restore(in, st, start, node_count);
        return false;
    }

    template <typename R, Context C, typename Input>
    static bool then(Input& in, State& st) {
        skip<grammar::WHITESPACE, C.moved()>(in, st);
        return peg::match<R, C.moved()>(in, st);
    }
};

template <typename... Rs>
struct sor : combinator {
    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        return (peg::match<Rs, C>(in, st) || ...);
    }
};

template <typename R>
struct opt : combinator {
    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        (void)peg::match<R, C>(in, st);
        return true;
    }
};

// e*: the first e directly, each further one after implicit whitespace.
template <typename R>
struct star : combinator {
    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        if (peg::match<R, C>(in, st)) {
            while (peg::match<seq<pegtl::success, R>, C.moved()>(in, st)) {
            }
        }
        return true;
    }
};

template <typename R>
struct plus : combinator {
    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        if (!peg::match<R, C>(in, st)) {
            return false;
        }
        while (peg::match<seq<pegtl::success, R>, C.moved()>(in, st)) {
        }
        return true;
    }
};

template <typename R>
struct not_at : combinator {
    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        const char* start = in.current();
        const bool matched = peg::match<R, C.negated()>(in, st);
        in.iterator() = start;
        return !matched;
    }
};

// Open ~ Rest...: one level deeper in parentheses or brackets. Past the limit the
// whole parse is abandoned, so that deep input cannot exhaust the stack.
template <typename Open, typename... Rest>
struct nested : combinator {
    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        const char* start = in.current();
        if (!peg::match<Open, C>(in, st)) {
            return false;
        }
        if (st.depth == st.max_depth || stack_position() < st.stack_floor) {
            // The report names the bound that held here.
            st.max_depth = st.depth;
            st.too_deep_at = static_cast<std::size_t>(start - st.begin);
            in.iterator() = start;
            return false;
        }
        ++st.depth;
        const bool matched = peg::match<seq<pegtl::success, Rest...>, C.moved()>(in, st);
        --st.depth;
        if (!matched) {
            in.iterator() = start;
        }
        return matched;
    }
};

// Unknown rules are never skipped; rules with identifiers begin as their bodies do.
template <typename R, typename = void>
struct first {
    static constexpr FirstSet value = FirstSet::anything();
};
template <typename R>
struct first<R, std::void_t<typename R::body>> {
    static constexpr FirstSet value = first<typename R::body>::value;
};
template <char... Cs>
struct first<pegtl::ascii::one<Cs...>> {
    static constexpr FirstSet value = FirstSet::of({Cs...});
};
template <char C, char... Cs>
struct first<pegtl::ascii::string<C, Cs...>> {
    static constexpr FirstSet value = FirstSet::of({C});
};
template <>
struct first<pegtl::ascii::digit> {
    static constexpr FirstSet value = FirstSet::range('0', '9');
};
template <>
struct first<pegtl::ascii::xdigit> {
    static constexpr FirstSet value =
        FirstSet::range('0', '9') | FirstSet::range('a', 'f') | FirstSet::range('A', 'F');
};
template <>
struct first<pegtl::ascii::alnum> {
    static constexpr FirstSet value =
        FirstSet::range('0', '9') | FirstSet::range('a', 'z') | FirstSet::range('A', 'Z');
};
template <>
struct first<pegtl::utf8::any> {
    static constexpr FirstSet value = FirstSet::range('\x00', '\x7f') | FirstSet::range('\x80', '\xff');
};

// Implicit whitespace may precede the element after a nullable one.
inline constexpr FirstSet whitespace_first = FirstSet::of({' ', '\t', '\r', '\n', '\\'});

template <typename First, typename... Rest>
struct first<seq<First, Rest...>> {
    static constexpr FirstSet value = [] {
        constexpr FirstSet head = first<First>::value;
        if constexpr (!head.nullable || sizeof...(Rest) == 0) {
            return head;
        } else {
            FirstSet set = head | whitespace_first | first<seq<Rest...>>::value;
            set.nullable = first<seq<Rest...>>::value.nullable;
            return set;
        }
    }();
};
template <typename... Rs>
struct first<sor<Rs...>> {
    static constexpr FirstSet value = (first<Rs>::value | ...);
};
template <typename R>
struct first<plus<R>> {
    static constexpr FirstSet value = first<R>::value;
};
template <typename Open, typename... Rest>
struct first<nested<Open, Rest...>> {
    static constexpr FirstSet value = first<Open>::value;
};

// A set as one flag per byte: a byte-at-a-time scan then tests a byte with one load.
constexpr std::array<bool, 256> byte_table(const FirstSet& set) {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<std::size_t>(c)] = set.admits(static_cast<unsigned char>(c));
    }
    return table;
}

// Whether R must fail at the next byte; asked at every rule attempt, so one load.
template <typename R, Context C, typename Input>
[[gnu::always_inline]] inline bool cannot_start(const Input& in) {
    if constexpr (first<R>::value.nullable || C.next.within(first<R>::value)) {
        return false;
    } else {
        static constexpr std::array<bool, 256> may_begin = byte_table(first<R>::value);
        return in.empty() || !may_begin[static_cast<unsigned char>(in.peek_char())];
    }
}

// Bytes that on their own are a whole match of a silent rule R, and the only match R can
// make from them: a run of them may be consumed without matching R once per byte.
template <typename R>
struct lone {
    static constexpr FirstSet value{};
};
template <typename R>
    requires(!R::has_node)
struct lone<R> {
    static constexpr FirstSet value = lone<typename R::body>::value;
};
template <char... Cs>
struct lone<pegtl::ascii::one<Cs...>> {
    static constexpr FirstSet value = FirstSet::of({Cs...});
};
template <typename... Rs>
struct lone<sor<Rs...>> {
    // A byte that another alternative may also begin with could start a longer match.
    static constexpr FirstSet value = [] {
        constexpr FirstSet firsts[] = {first<Rs>::value...};
        constexpr FirstSet lones[] = {lone<Rs>::value...};
        FirstSet set;
        for (std::size_t i = 0; i < sizeof...(Rs); ++i) {
            FirstSet others;
            for (std::size_t j = 0; j < sizeof...(Rs); ++j) {
                if (j != i) others = others | firsts[j];
            }
            set = set | lones[i].without(others);
        }
        return set;
    }();
};

// What a byte means to implicit whitespace: the end of it, a whole match of it, or the
// start of a longer one. One table, so that the common case, no whitespace, is one look-up.
enum class SkipByte : std::uint8_t { stop, plain, may_start };

template <typename Whitespace>
inline constexpr std::array<SkipByte, 256> skip_bytes = [] {
    static_assert(!first<Whitespace>::value.nullable);
    std::array<SkipByte, 256> table{};
    for (int c = 0; c < 256; ++c) {
        const auto byte = static_cast<unsigned char>(c);
        table[byte] = lone<Whitespace>::value.admits(byte)    ? SkipByte::plain
                      : first<Whitespace>::value.admits(byte) ? SkipByte::may_start
                                                              : SkipByte::stop;
    }
    return table;
}();

template <typename Whitespace, Context C, typename Input>
[[gnu::always_inline]] inline void skip(Input& in, State& st) {
    if constexpr (C.mode == Mode::non_atomic) {
        const char*& at = in.iterator();
        const char* const end = in.end();
        while (at != end) {
            const SkipByte kind = skip_bytes<Whitespace>[static_cast<unsigned char>(*at)];
            if (kind == SkipByte::plain) {
                ++at;
            } else if (kind == SkipByte::stop || !match<Whitespace, C.moved()>(in, st)) {
                return;
            }
        }
    }
}

// Rules that match exactly one byte, whenever that byte is in their first set.
template <typename R>
inline constexpr bool single_byte = false;
template <char... Cs>
inline constexpr bool single_byte<pegtl::ascii::one<Cs...>> = true;
template <>
inline constexpr bool single_byte<pegtl::ascii::digit> = true;
template <>
inline constexpr bool single_byte<pegtl::ascii::xdigit> = true;
template <>
inline constexpr bool single_byte<pegtl::ascii::alnum> = true;
template <typename... Rs>
inline constexpr bool single_byte<sor<Rs...>> = (single_byte<Rs> && ...);

// An ASCII byte set as a few ranges of consecutive bytes, so that sixteen bytes at a time
// can be tested against it; `fits` is false for sets with other bytes or more ranges.
struct ByteRanges {
    static constexpr std::size_t most = 6;
    std::array<unsigned char, most> low{};
    std::array<unsigned char, most> high{};
    std::size_t count = 0;
    bool fits = true;

    static constexpr ByteRanges of(const FirstSet& set) {
        ByteRanges ranges;
        for (int c = 0; c < 256; ++c) {
            const auto byte = static_cast<unsigned char>(c);
            if (!set.admits(byte) || (c > 0 && set.admits(static_cast<unsigned char>(c - 1)))) {
                continue;  // not the first byte of a range
            }
            if (c >= 0x80 || ranges.count == most) {
                ranges.fits = false;
                return ranges;
            }
            int last = c;
            while (last < 255 && set.admits(static_cast<unsigned char>(last + 1))) ++last;
            if (last >= 0x80) {
                ranges.fits = false;
                return ranges;
            }
            ranges.low[ranges.count] = byte;
            ranges.high[ranges.count] = static_cast<unsigned char>(last);
            ++ranges.count;
        }
        return ranges;
    }
};

#if defined(__SSE2__)
// One bit per byte of `bytes`, set where the byte lies in one of the ranges. A byte lies in
// [low, high] when byte - low, wrapped to a byte, is at most high - low: shifted by 0x80,
// that is one signed comparison.
template <const ByteRanges& Ranges, std::size_t... I>
[[gnu::always_inline]] inline unsigned in_ranges(__m128i bytes, std::index_sequence<I...>) {
    const auto in_range = [bytes](unsigned char low, unsigned char high) {
        const __m128i shifted = _mm_add_epi8(bytes, _mm_set1_epi8(static_cast<char>(0x80 - low)));
        return _mm_cmplt_epi8(shifted, _mm_set1_epi8(static_cast<char>(-128 + (high - low) + 1)));
    };
    const __m128i in = (_mm_setzero_si128() | ... | in_range(Ranges.low[I], Ranges.high[I]));
    return static_cast<unsigned>(_mm_movemask_epi8(in));
}
#endif

// e+ over a character class: without implicit whitespace between the repetitions,
// a run of the class's bytes is consumed in one go.
template <typename R>
    requires single_byte<R>
struct plus<R> : combinator {
    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        if constexpr (C.mode == Mode::non_atomic) {
            return peg::match<plus<seq<R>>, C>(in, st);  // the general repetition
        } else {
            const char*& at = in.iterator();
            const char* const start = at;
            skip_run(at, in.end());
            return at != start;
        }
    }

private:
    static constexpr std::array<bool, 256> in_class = byte_table(first<R>::value);
    static constexpr ByteRanges ranges = ByteRanges::of(first<R>::value);

    static void skip_run(const char*& at, const char* const end) {
#if defined(__SSE2__)
        if constexpr (ranges.fits) {
            while (end - at >= 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
                const unsigned outside = ~in_ranges<ranges>(bytes, std::make_index_sequence<ranges.count>()) & 0xFFFF;
                if (outside != 0) {
                    at += __builtin_ctz(outside);
                    return;
                }
                at += 16;
            }
        }
#endif
        while (at != end && in_class[static_cast<unsigned char>(*at)]) {
            ++at;
        }
    }
};

// e* over "Special | !Stop ~ ANY" (the body of a quoted text): outside the bookkeeping
// and implicit whitespace, a run of ASCII bytes that can begin neither Special nor Stop
// is consumed by the second alternative one byte at a time, so it is skipped in one go.
template <typename Special, typename Stop>
struct star<sor<Special, seq<not_at<Stop>, pegtl::utf8::any>>> : combinator {
    using Step = sor<Special, seq<not_at<Stop>, pegtl::utf8::any>>;

    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        if constexpr (C.tracking || C.mode == Mode::non_atomic) {
            return peg::match<star<seq<Step>>, C>(in, st);  // the general repetition
        } else {
            for (;;) {
                skip_plain(in);
                // At the end, or at a byte that is a whole Stop and begins no Special, Step fails.
                if (in.empty() || ends_text[static_cast<unsigned char>(in.peek_char())]) {
                    return true;
                }
                if (!peg::match<Step, C.moved()>(in, st)) {
                    return true;
                }
            }
        }
    }

private:
    // Bytes that end a plain run: non-ASCII ones, and those that may begin Special or Stop.
    static constexpr std::array<bool, 256> run_ends = [] {
        static_assert(!first<Special>::value.nullable && !first<Stop>::value.nullable);
        return byte_table(first<Special>::value | first<Stop>::value | FirstSet::range('\x80', '\xff'));
    }();

    static constexpr std::array<bool, 256> ends_text =
        byte_table(lone<Stop>::value.without(first<Special>::value));

    // The ASCII bytes among run_ends: few enough to compare sixteen bytes at a time.
    struct AsciiEnds {
        std::array<char, 4> bytes{};
        std::size_t count = 0;
    };
    static constexpr AsciiEnds ascii_ends = [] {
        AsciiEnds ends;
        for (int c = 0; c < 0x80; ++c) {
            if (run_ends[static_cast<std::size_t>(c)] && ends.count < ends.bytes.size()) {
                ends.bytes[ends.count++] = static_cast<char>(c);
            }
        }
        return ends;
    }();
    static constexpr bool few_ascii_ends = [] {
        std::size_t count = 0;
        for (int c = 0; c < 0x80; ++c) count += run_ends[static_cast<std::size_t>(c)] ? 1 : 0;
        return count <= 4;
    }();

    template <typename Input>
    static void skip_plain(Input& in) {
        const char*& at = in.iterator();
        const char* const end = in.end();
#if defined(__SSE2__)
        if constexpr (few_ascii_ends) {
            while (end - at >= 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
                __m128i ends = bytes;  // the sign bit marks the non-ASCII bytes
                for (std::size_t i = 0; i < ascii_ends.count; ++i) {
                    ends = _mm_or_si128(ends, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(ascii_ends.bytes[i])));
                }
                const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(ends));
                if (mask != 0) {
                    at += __builtin_ctz(mask);
                    return;
                }
                at += 16;
            }
        }
#endif
        while (at != end && !run_ends[static_cast<unsigned char>(*at)]) {
            ++at;
        }
    }
};

// Under AddressSanitizer every inlined local keeps a stack slot of its own, so a flattened
// rule's frame grows to tens of kilobytes (93 KB for `value`), more than the nesting bound
// reserves for the rest of a call: sanitized builds call the sub-rules one by one.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool flatten_small_rules = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool flatten_small_rules = false;
#else
inline constexpr bool flatten_small_rules = true;
#endif
#else
inline constexpr bool flatten_small_rules = true;
#endif

// The mode a rule's body is matched in: the caller's, or one the rule sets.
enum class BodyMode : std::uint8_t { inherit, atomic, compound_atomic };

// A rule with an identifier. `HasNode` is false for silent rules.
template <Rule Id, bool HasNode, BodyMode Body_mode, typename Body>
struct rule_of_kind : combinator {
    using body = Body;
    static constexpr bool has_node = HasNode;

    template <Context C, typename Input>
    static bool matches(Input& in, State& st) {
        if constexpr (!flattened) {
            // One function per rule and run that a call reaches with whatever it knows.
            return match_rule<C.moved()>(in, st);
        } else {
            return match_flat<C>(in, st);
        }
    }

private:
    // Small rules that cannot recurse (those in an atomic mode, and the choice of a
    // value or an operator) are compiled into one function each, their sub-rules inlined
    // rather than called one by one.
    static constexpr bool flattened = flatten_small_rules && (Body_mode != BodyMode::inherit ||
                                                              Id == Rule::value || Id == Rule::comp_op);
    template <Context C, typename Input>
    [[gnu::flatten]] static bool match_flat(Input& in, State& st) {
        return match_rule<C>(in, st);
    }

    // What is known of the next byte once the rule may start: the first check, if the fast
    // run made it, leaves it among the body's first bytes.
    template <Context C>
    static constexpr Context checked =
        first<Body>::value.nullable || C.tracking || C.next.within(first<Body>::value) ? C
                                                                                       : C.knowing(first<Body>::value);

    // Flattened rules cannot nest.
    template <Context C>
    static constexpr Context entered = flattened && !C.tracking ? checked<C>.not_nesting() : checked<C>;

    // The context the body is matched in: the caller's, or the mode the rule sets.
    template <Context C>
    static constexpr Context body_context = Body_mode == BodyMode::inherit  ? entered<C>
                                            : Body_mode == BodyMode::atomic ? entered<C>.in_mode(Mode::atomic)
                                                                            : entered<C>.in_mode(Mode::compound_atomic);

    template <Context C, typename Input>
    static bool match_rule(Input& in, State& st) {
        if constexpr (!C.cannot_nest) {
            if (st.too_deep_at) {
                return false;
            }
        }
        if constexpr (!C.tracking) {
            if (cannot_start<Body, C>(in)) {
                return false;
            }
        }
        if constexpr (C.build) {
            if constexpr (!C.negative && C.mode != Mode::atomic && Input::Sink::template handles<Id>) {
                return match_built<C>(in, st);
            } else {
                return peg::match<Body, body_context<C>>(in, st);
            }
        } else if constexpr (!HasNode || (C.lean && lean_drops(Id))) {
            return peg::match<Body, body_context<C>>(in, st);
        } else if constexpr (C.tracking) {
            return match_tracked<C>(in, st);
        } else if constexpr (C.negative || C.mode == Mode::atomic) {
            return peg::match<Body, body_context<C>>(in, st);  // makes no node
        } else if constexpr (C.lean && lean_folds(Id)) {
            if (!peg::match<Body, body_context<C>>(in, st)) {
                return false;
            }
            st.nodes[st.comparison_at].detail |= Id == Rule::not_ ? negated_detail : static_cast<std::uint8_t>(Id);
            return true;
        } else {
            return match_node<C>(in, st);
        }
    }

    // A building run hands the rule to its builder as it enters it and once it matched.
    template <Context C, typename Input>
    static bool match_built(Input& in, State& st) {
        auto& sink = sink_of<Input>(st);
        const char* const begin = in.current();
        const std::size_t changes = sink.changes();
        sink.template enter<Id>();
        if (!peg::match<Body, body_context<C>>(in, st)) {
            sink.template failed<Id>();
            undo_attempt<C, Input>(st, changes);
            return false;
        }
        sink.template matched<Id>(std::string_view(begin, static_cast<std::size_t>(in.current() - begin)));
        return true;
    }

    // The tracked run only reports a failure, so it builds no nodes.
    template <Context C, typename Input>
    static bool match_tracked(Input& in, State& st) {
        const std::size_t pos = offset(in, st);
        const bool at_attempt = pos == st.attempt_pos;
        const std::size_t positive_len = at_attempt ? st.positive_attempts.size() : 0;
        const std::size_t negative_len = at_attempt ? st.negative_attempts.size() : 0;
        const std::size_t previous_attempts = st.attempts_at(pos);
        const bool matched = peg::match<Body, body_context<C>>(in, st);
        if constexpr (C.mode != Mode::atomic) {
            if (matched == C.negative) {
                st.track(Id, C.negative, pos, positive_len, negative_len, previous_attempts);
            }
        }
        return matched;
    }

    template <Context C, typename Input>
    static bool match_node(Input& in, State& st) {
        const std::size_t index = st.nodes.size();
        st.nodes.push(FlatNode{static_cast<std::uint32_t>(offset(in, st)), 0, 0, Id, 0});
        if constexpr (Id == Rule::comparison && C.lean) {
            st.comparison_at = index;
        }
        if (!peg::match<Body, body_context<C>>(in, st)) {
            st.nodes.truncate(index);
            return false;
        }
        FlatNode& node = st.nodes[index];
        node.end = static_cast<std::uint32_t>(offset(in, st));
        node.descendants = static_cast<std::uint32_t>(st.nodes.size() - index - 1);
        if constexpr (heap_nodes_made[static_cast<std::size_t>(Id)] != 0 ||
                      makes_tree_text[static_cast<std::size_t>(Id)]) {
            st.nodes.count_block_needs(Id, node.end - node.begin);
        }
        if constexpr (Id == Rule::path && C.lean) {
            st.nodes.count_path_needs(index);
        }
        return true;
    }
};

template <Rule Id, typename Body>
using normal = rule_of_kind<Id, true, BodyMode::inherit, Body>;
template <Rule Id, typename Body>
using silent = rule_of_kind<Id, false, BodyMode::inherit, Body>;
template <Rule Id, BodyMode Mode_, typename Body>
using silent_in_mode = rule_of_kind<Id, false, Mode_, Body>;
template <Rule Id, typename Body>
using atomic = rule_of_kind<Id, true, BodyMode::atomic, Body>;
template <Rule Id, typename Body>
using compound_atomic = rule_of_kind<Id, true, BodyMode::compound_atomic, Body>;

}  // namespace quarnel::parser::peg
