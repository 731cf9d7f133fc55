// Matcher benchmarks over the generated sensor feed (bench/make_observations.py) and
// indicator-like patterns (bench/make_patterns.py). Prints one table; every figure is the
// median of several samples of process CPU time.
//
// Usage: quarnel_match_bench DATA_DIR [--quick | --load]
// --load runs only the load + equality measurement (for profiling the loader).
// DATA_DIR holds observations-{1000,10000,100000}.json and patterns-10000.txt.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "match/index.hpp"
#include "match/matcher.hpp"
#include "parser/builder.hpp"

namespace {

using namespace quarnel::match;

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Pushes the benchmark's data out of the processor caches, so that a run on 1,000 records
// is not served from cache while one on 100,000 is not: data arrives fresh in a pipeline.
void evict_caches() {
    static std::vector<char> sweep(std::size_t{128} << 20);
    for (std::size_t i = 0; i < sweep.size(); i += 64) sweep[i] = static_cast<char>(sweep[i] + 1);
}

double timed_seconds(const std::function<void()>& body) {
    evict_caches();
    const double start = cpu_seconds();
    body();
    return cpu_seconds() - start;
}

// The median of `repeats` samples. A sample averages as many runs as take 5 ms in all, each
// from cold caches, so that runs of a fraction of a millisecond do not measure the noise of
// a busy machine.
double median_seconds(int repeats, const std::function<void()>& body) {
    const double first = timed_seconds(body);
    const int runs = first >= 0.005 ? 1 : static_cast<int>(0.005 / std::max(first, 1e-6)) + 1;
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        double total = 0;
        for (int run = 0; run < runs; ++run) total += timed_seconds(body);
        times.push_back(total / runs);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot open " + path + " (run scripts/bench.sh to generate it)");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

CompiledPattern compiled(const std::string& text) {
    auto tree = quarnel::parser::parse_pattern(text);
    if (!tree) throw std::runtime_error("pattern does not parse: " + text);
    auto pattern = compile(tree.value());
    if (!pattern) throw std::runtime_error("pattern does not compile: " + pattern.error().message);
    return std::move(pattern).value();
}

ObservationSet loaded(const std::string& text, JsonReader* reader = nullptr) {
    const std::string_view texts[] = {text};
    auto set = load(texts, LoadOptions{}, reader);
    if (!set) throw std::runtime_error("data does not load: " + set.error().message);
    return std::move(set).value();
}

bool matches(const CompiledPattern& pattern, const ObservationSet& set) {
    auto result = match(pattern, set);
    if (!result) throw std::runtime_error("match failed: " + result.error().message);
    return result.value().matched;
}

struct Shape {
    const char* name;
    const char* pattern;
};

// Two or three observations; candidate lists grow with the data.
const Shape shapes[] = {
    {"FOLLOWEDBY, matches", "[ipv4-addr:value ISSUBSET '10.0.0.0/8'] FOLLOWEDBY [file:size > 1000000]"},
    {"FOLLOWEDBY, no match", "[ipv4-addr:value ISSUBSET '10.0.0.0/8'] FOLLOWEDBY [domain-name:value = 'first.example']"},
    {"3 x FOLLOWEDBY, no match",
     "[file:size > 0] FOLLOWEDBY [ipv4-addr:value ISSUBSET '10.0.0.0/8'] FOLLOWEDBY [domain-name:value = 'first.example']"},
    {"FOLLOWEDBY, late match", "[domain-name:value LIKE '%.test'] FOLLOWEDBY [file:name = 'last.exe']"},
    {"REPEATS, matches", "[file:size > 100] REPEATS 3 TIMES"},
    {"REPEATS WITHIN, no match", "[ipv4-addr:value ISSUBSET '10.0.0.0/8'] REPEATS 5 TIMES WITHIN 2 SECONDS"},
    {"REPEATS WITHIN, matches", "[domain-name:value LIKE 'host%'] REPEATS 3 TIMES WITHIN 10 SECONDS"},
    {"WITHIN, no match",
     "([ipv4-addr:value ISSUBSET '10.0.0.0/8'] AND [domain-name:value = 'first.example']) WITHIN 1 SECONDS"},
    {"WITHIN, matches", "([ipv4-addr:value ISSUBSET '10.0.0.0/8'] AND [file:size > 100]) WITHIN 5 SECONDS"},
    {"3 leaves WITHIN, late match",
     "([file:size > 0] AND [ipv4-addr:value ISSUBSET '198.51.0.0/16'] AND [file:name = 'last.exe']) WITHIN 30 SECONDS"},
};

// One equality pattern that matches nothing, so that every record is examined.
void equality(const std::string& dir, int repeats) {
    const std::string text = read_file(dir + "/observations-100000.json");
    const CompiledPattern pattern = compiled("[ipv4-addr:value = '203.0.113.250']");
    const auto report = [&](const char* what, double seconds) {
        std::printf("%-52s %10.3f us/record  (%.0f MB/s of JSON)\n", what, seconds * 1e6 / 100000,
                    static_cast<double>(text.size()) / seconds / 1e6);
    };
    report("load + equality pattern, 100,000 records", median_seconds(repeats, [&] {
               if (matches(pattern, loaded(text))) throw std::runtime_error("unexpected match");
           }));
    JsonReader reader;
    report("  the same, loading with a warm simdjson reader", median_seconds(repeats, [&] {
               if (matches(pattern, loaded(text, &reader))) throw std::runtime_error("unexpected match");
           }));
    const ObservationSet set = loaded(text);
    report("  the equality pattern alone", median_seconds(repeats, [&] { matches(pattern, set); }));
}

void flatness(const std::string& dir, const std::vector<int>& sizes, int repeats) {
    std::vector<ObservationSet> sets;
    for (const int n : sizes) sets.push_back(loaded(read_file(dir + "/observations-" + std::to_string(n) + ".json")));
    std::printf("\n%-30s", "shape (match only, ns/record)");
    for (const int n : sizes) std::printf(" %10d", n);
    std::printf("  max/min  verdict\n");
    for (const Shape& shape : shapes) {
        const CompiledPattern pattern = compiled(shape.pattern);
        std::vector<double> per_record;
        bool verdict = false;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const double seconds = median_seconds(repeats, [&] { verdict = matches(pattern, sets[i]); });
            per_record.push_back(seconds * 1e9 / sizes[i]);
        }
        std::printf("%-30s", shape.name);
        for (const double ns : per_record) std::printf(" %10.1f", ns);
        const auto [low, high] = std::minmax_element(per_record.begin(), per_record.end());
        std::printf("  %7.2f  %s\n", *high / *low, verdict ? "MATCH" : "NO MATCH");
    }
}

void index(const std::string& dir, int records, std::size_t pattern_count, int repeats) {
    std::vector<std::string> lines;
    std::istringstream text(read_file(dir + "/patterns-10000.txt"));
    for (std::string line; std::getline(text, line) && lines.size() < pattern_count;) lines.push_back(line);
    std::vector<std::shared_ptr<const CompiledPattern>> patterns;
    for (const std::string& line : lines) patterns.push_back(std::make_shared<const CompiledPattern>(compiled(line)));
    PatternIndex built;
    const double build = median_seconds(1, [&] {
        PatternIndex fresh;
        for (const auto& p : patterns) fresh.add(p);
        built = std::move(fresh);
    });
    const ObservationSet set = loaded(read_file(dir + "/observations-" + std::to_string(records) + ".json"));
    std::size_t hits = 0;
    const double seconds = median_seconds(repeats, [&] { hits = built.match(set).hits.size(); });
    std::printf("\n%-52s %10.0f records/s  (%zu patterns match; index built in %.3f s)\n",
                ("index of " + std::to_string(lines.size()) + " patterns, " + std::to_string(records) + " records").c_str(),
                records / seconds, hits, build);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DATA_DIR [--quick | --load]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const std::string mode = argc > 2 ? argv[2] : "";
    try {
        if (mode == "--load") {
            equality(dir, 5);
        } else if (mode == "--quick") {
            flatness(dir, {1000, 10000}, 1);
            index(dir, 10000, 1000, 1);
        } else {
            equality(dir, 5);
            flatness(dir, {1000, 10000, 100000}, 5);
            index(dir, 100000, 10000, 3);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "%s\n", failure.what());
        return 1;
    }
    return 0;
}
