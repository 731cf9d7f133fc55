// A plain loop over a corpus file, for counting instructions under callgrind (see
// bench/core_instructions.py): `loop` only reads the corpus, `grammar` runs the grammar
// on each pattern, `parse` runs parse_pattern (grammar, building and destruction), `shared`
// parse_shared_pattern, as `parse()` does. `train`, the profiling run of the optimised
// build, parses each pattern's first two thirds (which mostly fail, and then makes the
// error's message), the pattern itself both ways and through the grammar alone (with every
// node, as the checker reads it, where building leaves some out), and the pattern and one
// comparison inside parentheses a few levels deep: rejected input and deep nesting are
// rarer than plain patterns but not rare, and code the profile saw run seldom is compiled
// for size. It only counts, so it accepts whatever the parses give.
// Usage: quarnel_core_instructions MODE CORPUS_FILE ROUNDS; prints the bytes parsed.
#include <cstddef>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "../corpus_reader.hpp"
#include "parser/builder.hpp"
#include "parser/rule.hpp"
#include "parser/stix_parser.hpp"

namespace {

bool accepted(std::string_view mode, const std::string& text) {
    using namespace quarnel::parser;
    if (mode == "grammar") return StixParser::parse(Rule::pattern, text).ok();
    if (mode == "parse") return parse_pattern(text).ok();
    if (mode == "shared") return parse_shared_pattern(text).ok();
    if (mode == "train") {
        const auto cut = parse_pattern(quarnel::bench::cut_short(text));
        if (!cut.ok()) {
            (void)cut.error().message();
        }
        constexpr std::size_t depth = 8;
        const std::string open(depth, '('), close(depth, ')');
        (void)parse_pattern(text);
        (void)parse_shared_pattern(text);
        (void)StixParser::parse(Rule::pattern, text);
        (void)parse_pattern(open + text + close);
        (void)parse_pattern("[" + open + "file:name = 'a'" + close + "]");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: quarnel_core_instructions loop|grammar|parse|shared|train CORPUS_FILE ROUNDS\n";
        return 2;
    }
    const std::string_view mode = argv[1];
    const std::vector<std::string> patterns = quarnel::bench::read_corpus(argv[2]);
    const long rounds = std::stol(argv[3]);
    std::size_t bytes = 0;
    for (long round = 0; round < rounds; ++round) {
        for (const auto& text : patterns) {
            if (!accepted(mode, text)) {
                std::cerr << "rejected: " << text << "\n";
                return 1;
            }
            bytes += text.size();
        }
    }
    std::cout << bytes << "\n";
    return 0;
}
