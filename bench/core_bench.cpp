// Core benchmarks: parse_pattern (grammar, tree building and destruction of the tree) over the
// pattern corpus and over large generated inputs, plus the grammar alone over the corpus, and
// the grammar with one pass over its tree.
// Every benchmark reports bytes/s; the per-byte and per-pattern counters make runs of different
// sizes comparable, which is how linearity is read.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "corpus_reader.hpp"
#include "parser/builder.hpp"
#include "parser/rule.hpp"
#include "parser/stix_parser.hpp"

namespace {

using quarnel::parser::parse_pattern;
using quarnel::parser::parse_shared_pattern;
using quarnel::parser::Rule;
using quarnel::parser::StixParser;

constexpr std::size_t kilobyte = 1000;
constexpr std::size_t megabyte = 1000 * kilobyte;

// ---- inputs ---------------------------------------------------------------------------------

std::vector<std::string> read_corpus(const std::string& name) {
    return quarnel::bench::read_corpus(std::string(QUARNEL_SOURCE_DIR) + "/bench/" + name);
}

// The hand-written corpus, and the larger one bench/make_corpus.py writes from a fixed seed.
constexpr const char* corpus_names[] = {"corpus.txt", "corpus-mixed.txt"};

const std::vector<std::string>& corpus(const std::string& name) {
    static std::map<std::string, std::vector<std::string>> corpora;
    auto found = corpora.find(name);
    if (found == corpora.end()) found = corpora.emplace(name, read_corpus(name)).first;
    return found->second;
}

std::size_t total_bytes(const std::vector<std::string>& texts) {
    std::size_t bytes = 0;
    for (const auto& text : texts) bytes += text.size();
    return bytes;
}

// Deterministic pseudo-random hex digits, so that every run parses the same text.
class HexSource {
public:
    std::string digits(std::size_t count) {
        static constexpr char hex[] = "0123456789abcdef";
        std::string out;
        out.reserve(count);
        while (out.size() < count) {
            std::uint64_t bits = next();
            for (int i = 0; i < 16 && out.size() < count; ++i, bits >>= 4) out += hex[bits & 15];
        }
        return out;
    }

private:
    std::uint64_t next() {  // splitmix64
        state_ += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::uint64_t state_ = 0x5eed;
};

// A shape appends its i-th element (with its separator) to a text.
enum class Shape { hash_or_chain, observation_chain };

void append_element(Shape shape, std::size_t i, HexSource& hex, std::string& out) {
    if (shape == Shape::hash_or_chain) {
        if (i > 0) out += " OR ";
        out += "file:hashes.'SHA-256' = '";
        out += hex.digits(64);
        out += '\'';
    } else {
        if (i > 0) out += " OR ";
        out += "[ipv4-addr:value = '198.51.100.";
        out += std::to_string(i % 256);
        out += "']";
    }
}

std::string wrap(Shape shape, std::string body) {
    return shape == Shape::hash_or_chain ? "[" + body + "]" : body;
}

// A chain of exactly `count` elements.
std::string chain_of_count(Shape shape, std::size_t count) {
    HexSource hex;
    std::string body;
    for (std::size_t i = 0; i < count; ++i) append_element(shape, i, hex, body);
    return wrap(shape, std::move(body));
}

// The shortest chain of the shape that is at least `bytes` long.
std::string chain_of_bytes(Shape shape, std::size_t bytes) {
    HexSource hex;
    std::string body;
    for (std::size_t i = 0; body.size() + 2 < bytes; ++i) append_element(shape, i, hex, body);
    return wrap(shape, std::move(body));
}

// One comparison whose string constant is `bytes` long: words, with an escaped quote and an
// escaped backslash now and then, as in file paths and registry keys.
std::string long_string_pattern(std::size_t bytes) {
    static constexpr std::string_view words[] = {"Software", "Microsoft", "Windows ",
                                                 "CurrentVersion", "Run ", "it\\'s ", "C:\\\\"};
    std::string text = "[windows-registry-key:key = '";
    const std::size_t end = text.size() + bytes;
    for (std::size_t i = 0;; ++i) {
        const auto word = words[i % std::size(words)];
        if (text.size() + word.size() > end) break;
        text += word;
    }
    text.append(end - text.size(), 'x');  // whole words only: no escape is cut in half
    text += "']";
    return text;
}

constexpr std::size_t nesting_depth = StixParser::max_nesting - 1;

// Parenthesised observations, the bracket of the innermost one filling the last level.
std::string nested_groups() {
    return std::string(nesting_depth, '(') + "[file:name = 'a.exe']" +
           std::string(nesting_depth, ')');
}

// Parenthesised comparisons inside one observation's brackets.
std::string nested_comparisons() {
    return "[" + std::string(nesting_depth, '(') + "file:name = 'a.exe'" +
           std::string(nesting_depth, ')') + "]";
}

// Inputs are built once per process and kept: the benchmark body runs several times.
template <typename Make>
const std::string& cached(const std::string& key, Make make) {
    static std::map<std::string, std::string> inputs;
    auto found = inputs.find(key);
    if (found == inputs.end()) found = inputs.emplace(key, make()).first;
    return found->second;
}

// ---- counters -------------------------------------------------------------------------------

// Time per unit of work (printed with its SI prefix): the inverted rate of `units` per iteration.
benchmark::Counter time_per(double units) {
    using benchmark::Counter;
    return Counter(units, Counter::kIsIterationInvariantRate | Counter::kInvert);
}

// CPU time this thread has spent in the kernel so far, in seconds.
double kernel_seconds() {
    rusage usage{};
    (void)getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) * 1e-6;
}

void report_bytes(benchmark::State& state, std::size_t bytes) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.counters["input_bytes"] = static_cast<double>(bytes);
    state.counters["time_per_byte"] = time_per(static_cast<double>(bytes));
}

// ---- benchmarks -----------------------------------------------------------------------------

// A rejected input would time the error path: such a benchmark reports the error instead.
bool accepted(const std::string& text, benchmark::State& state) {
    const auto result = parse_pattern(text);
    if (result.ok()) return true;
    const std::string shown = text.size() > 200 ? text.substr(0, 200) + "..." : text;
    state.SkipWithError(("rejected: " + shown + ": " + result.error().message()).c_str());
    return false;
}

bool all_parse(const std::vector<std::string>& texts, benchmark::State& state) {
    for (const auto& text : texts) {
        if (!accepted(text, state)) return false;
    }
    return true;
}

// Runs `parse_one` on every one of `texts` per iteration.
template <typename ParseOne>
void time_texts(benchmark::State& state, const std::vector<std::string>& texts, ParseOne parse_one) {
    for (auto _ : state) {
        for (const auto& text : texts) {
            benchmark::DoNotOptimize(parse_one(text));
        }
    }
    report_bytes(state, total_bytes(texts));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * texts.size()));
    state.counters["time_per_pattern"] = time_per(static_cast<double>(texts.size()));
}

// The same over the corpus `name`, whose patterns must all parse.
template <typename ParseOne>
void time_corpus(benchmark::State& state, const char* name, ParseOne parse_one) {
    const auto& patterns = corpus(name);
    if (all_parse(patterns, state)) time_texts(state, patterns, parse_one);
}

void BM_ParsePatternCorpus(benchmark::State& state, const char* name) {
    time_corpus(state, name, [](const std::string& text) { return parse_pattern(text).ok(); });
}
BENCHMARK_CAPTURE(BM_ParsePatternCorpus, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ParsePatternCorpus, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

// The build `parse()` uses, and the grammar alone: each timed over the whole corpus and in
// slices below.
bool shared_parse(const std::string& text) {
    return parse_shared_pattern(text).ok();
}
bool grammar_accepts(const std::string& text) {
    return StixParser::parse(Rule::pattern, text).ok();
}

// The same as `parse()` builds it: shared, and dropped without a walk when it owns nothing
// outside its block.
void BM_ParseSharedCorpus(benchmark::State& state, const char* name) {
    time_corpus(state, name, shared_parse);
}
BENCHMARK_CAPTURE(BM_ParseSharedCorpus, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ParseSharedCorpus, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

// The corpus in slices of 100 patterns, each slice parsed ten times before the next: the
// same texts as BM_ParseSharedCorpus, but the branch predictor may learn a slice the way
// it learns a small corpus. The gap between the two is what diverse input costs in branch
// mispredictions (a larger one: a pattern's branches depend more on its text).
template <typename ParseOne>
void time_slices(benchmark::State& state, const char* name, ParseOne parse_one) {
    constexpr std::size_t slice = 100;
    constexpr int repeats = 10;
    const auto& patterns = corpus(name);
    if (!all_parse(patterns, state)) return;
    for (auto _ : state) {
        for (std::size_t first = 0; first < patterns.size(); first += slice) {
            const std::size_t last = std::min(first + slice, patterns.size());
            for (int round = 0; round < repeats; ++round) {
                for (std::size_t at = first; at < last; ++at) benchmark::DoNotOptimize(parse_one(patterns[at]));
            }
        }
    }
    report_bytes(state, total_bytes(patterns) * repeats);
}

void BM_ParseSharedSlices(benchmark::State& state, const char* name) {
    time_slices(state, name, shared_parse);
}
BENCHMARK_CAPTURE(BM_ParseSharedSlices, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ParseSharedSlices, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

void BM_GrammarOnlySlices(benchmark::State& state, const char* name) {
    time_slices(state, name, grammar_accepts);
}
BENCHMARK_CAPTURE(BM_GrammarOnlySlices, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GrammarOnlySlices, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

void BM_GrammarOnlyCorpus(benchmark::State& state, const char* name) {
    time_corpus(state, name, grammar_accepts);
}
BENCHMARK_CAPTURE(BM_GrammarOnlyCorpus, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GrammarOnlyCorpus, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

// The grammar's run for building, without the nodes building does without, into a scratch
// as the builds have it: what a parse costs before its tree is built, so that
// BM_ParseSharedCorpus less this is the building.
void BM_GrammarLeanCorpus(benchmark::State& state, const char* name) {
    time_corpus(state, name, [](const std::string& text) {
        quarnel::parser::ScratchNodes scratch;
        return StixParser::parse_for_building(text, scratch).ok();
    });
}
BENCHMARK_CAPTURE(BM_GrammarLeanCorpus, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GrammarLeanCorpus, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

// The grammar, then one pass over its tree that dispatches on each node's rule and reads its
// span: the least that building from that tree adds, so the most that building while matching
// could save.
std::uint32_t grammar_and_walk(const std::string& text) {
    const auto tree = StixParser::parse(Rule::pattern, text);
    std::uint32_t seen = 0;
    for (const quarnel::parser::FlatNode& node : tree.value().flat_nodes()) {
        switch (node.rule) {
            case Rule::comparison:
            case Rule::observation:
                seen += node.descendants;
                break;
            case Rule::object:
            case Rule::property:
            case Rule::string:
                seen ^= node.end - node.begin;
                break;
            case Rule::and_:
            case Rule::or_:
            case Rule::followedby:
                seen = seen * 3 + 1;
                break;
            default:
                seen += node.begin;
        }
    }
    return seen;
}

void BM_GrammarWalkCorpus(benchmark::State& state, const char* name) {
    time_corpus(state, name, grammar_and_walk);
}
BENCHMARK_CAPTURE(BM_GrammarWalkCorpus, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GrammarWalkCorpus, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

void BM_GrammarWalkSlices(benchmark::State& state, const char* name) {
    time_slices(state, name, grammar_and_walk);
}
BENCHMARK_CAPTURE(BM_GrammarWalkSlices, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_GrammarWalkSlices, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

// Rejected input: each corpus pattern cut short, parsed to its error and the error's message.
void BM_RejectedCorpus(benchmark::State& state, const char* name) {
    std::vector<std::string> cut;
    for (const auto& text : corpus(name)) cut.emplace_back(quarnel::bench::cut_short(text));
    std::size_t rejected = 0;
    for (const auto& text : cut) rejected += parse_pattern(text).ok() ? 0 : 1;
    time_texts(state, cut, [](const std::string& text) {
        const auto result = parse_pattern(text);
        return result.ok() ? std::string() : result.error().message();
    });
    state.counters["rejected"] = static_cast<double>(rejected);
}
BENCHMARK_CAPTURE(BM_RejectedCorpus, corpus.txt, corpus_names[0])->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RejectedCorpus, corpus-mixed.txt, corpus_names[1])->Unit(benchmark::kMicrosecond);

// Parses one large input per iteration; its tree is destroyed inside the loop. The kernel's
// share of the time is reported apart: for a large input it is mostly the zeroing of the fresh
// memory its trees take, which a smaller tree, not faster code, would save.
template <typename Parse = decltype(&parse_pattern)>
void parse_one(benchmark::State& state, const std::string& text, Parse parse = &parse_pattern) {
    if (!accepted(text, state)) return;
    const double kernel_before = kernel_seconds();
    for (auto _ : state) {
        const auto result = parse(text);
        benchmark::DoNotOptimize(result.ok());
    }
    const double kernel = kernel_seconds() - kernel_before;
    report_bytes(state, text.size());
    state.counters["kernel_time_per_byte"] =
        kernel / static_cast<double>(state.iterations()) / static_cast<double>(text.size());
}

void BM_HashOrChain(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    parse_one(state, cached("hash-count-" + std::to_string(count),
                            [&] { return chain_of_count(Shape::hash_or_chain, count); }));
    state.counters["comparisons"] = static_cast<double>(count);
}
BENCHMARK(BM_HashOrChain)->Arg(1'000)->Arg(10'000)->Arg(100'000)->Unit(benchmark::kMillisecond);

void BM_ObservationChain(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    parse_one(state, cached("observation-count-" + std::to_string(count),
                            [&] { return chain_of_count(Shape::observation_chain, count); }));
    state.counters["observations"] = static_cast<double>(count);
}
BENCHMARK(BM_ObservationChain)
    ->Arg(1'000)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Unit(benchmark::kMillisecond);

void BM_LongString(benchmark::State& state) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    parse_one(state, cached("string-" + std::to_string(bytes),
                            [&] { return long_string_pattern(bytes); }));
}
BENCHMARK(BM_LongString)->Arg(1 * megabyte)->Arg(10 * megabyte)->Unit(benchmark::kMillisecond);

void BM_NestedGroups(benchmark::State& state) {
    parse_one(state, cached("nested-groups", nested_groups));
    state.counters["depth"] = static_cast<double>(StixParser::max_nesting);
}
BENCHMARK(BM_NestedGroups)->Unit(benchmark::kMicrosecond);

void BM_NestedComparisons(benchmark::State& state) {
    parse_one(state, cached("nested-comparisons", nested_comparisons));
    state.counters["depth"] = static_cast<double>(StixParser::max_nesting);
}
BENCHMARK(BM_NestedComparisons)->Unit(benchmark::kMicrosecond);

// The same shapes at 10 KB and 10 MB: time_per_byte of the two rows should match. Each is
// timed as parse_pattern builds it and as parse_shared_pattern does for `parse()`, shared
// and dropped without a walk.
template <typename Parse>
void chain_of_size(benchmark::State& state, Shape shape, const char* name, Parse parse) {
    const auto bytes = static_cast<std::size_t>(state.range(0));
    parse_one(state, cached(std::string(name) + "-bytes-" + std::to_string(bytes),
                            [&] { return chain_of_bytes(shape, bytes); }),
              parse);
}

void BM_LinearityHashOrChain(benchmark::State& state) {
    chain_of_size(state, Shape::hash_or_chain, "hash", &parse_pattern);
}
void BM_LinearityObservationChain(benchmark::State& state) {
    chain_of_size(state, Shape::observation_chain, "observation", &parse_pattern);
}
void BM_LinearitySharedHashOrChain(benchmark::State& state) {
    chain_of_size(state, Shape::hash_or_chain, "hash", &parse_shared_pattern);
}
void BM_LinearitySharedObservationChain(benchmark::State& state) {
    chain_of_size(state, Shape::observation_chain, "observation", &parse_shared_pattern);
}
BENCHMARK(BM_LinearityHashOrChain)->Arg(10 * kilobyte)->Arg(10 * megabyte)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LinearityObservationChain)->Arg(10 * kilobyte)->Arg(10 * megabyte)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LinearitySharedHashOrChain)->Arg(10 * kilobyte)->Arg(10 * megabyte)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LinearitySharedObservationChain)
    ->Arg(10 * kilobyte)
    ->Arg(10 * megabyte)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
