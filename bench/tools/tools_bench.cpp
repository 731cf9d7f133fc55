// Timings of the toolkit: µs per corpus pattern for each capability beside parse alone,
// and the checker's engine over whole inputs (reading included) with one thread and with
// one per core.
//
// Usage: quarnel_tools_bench CORPUS [INPUT.json|INPUT.txt ...] [--rounds N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "parser/builder.hpp"
#include "tools/batch.hpp"
#include "tools/canonical.hpp"
#include "tools/strict.hpp"
#include "tools/observables.hpp"
#include "tools/tree_json.hpp"

namespace {

using Clock = std::chrono::steady_clock;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The best of `rounds` runs, in seconds: the machine is shared, the minimum is the cost.
double best_of(int rounds, const std::function<void()>& run) {
    double best = 1e300;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

std::size_t sink = 0;

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> inputs;
    int rounds = 20;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--rounds" && i + 1 < argc) {
            rounds = std::stoi(argv[++i]);
        } else {
            inputs.push_back(argument);
        }
    }
    if (inputs.empty()) {
        std::cerr << "usage: quarnel_tools_bench CORPUS [INPUT ...] [--rounds N]\n";
        return 2;
    }
    std::vector<std::string> corpus;
    std::istringstream lines(read_file(inputs.front()));
    for (std::string line; std::getline(lines, line);) {
        if (quarnel::parser::parse_pattern(line).ok()) {
            corpus.push_back(line);
        }
    }
    using quarnel::ast::PatternExpr;
    const std::vector<std::pair<const char*, std::function<void(const PatternExpr&)>>> capabilities{
        {"parse", [](const PatternExpr&) {}},
        {"parse + tree_json", [](const PatternExpr& tree) {
             std::string out;
             quarnel::tools::append_tree_json(out, tree);
             sink += out.size();
         }},
        {"parse + canonical_text", [](const PatternExpr& tree) { sink += quarnel::tools::canonical_text(tree).size(); }},
        {"parse + observables", [](const PatternExpr& tree) { sink += quarnel::tools::observables_of(tree).size(); }},
        {"parse + inspection", [](const PatternExpr& tree) {
             sink += std::get<quarnel::tools::Object>(quarnel::tools::inspection_of(tree).data).size();
         }},
    };
    double parse_alone = 0;
    std::printf("%zu corpus patterns, best of %d rounds\n", corpus.size(), rounds);
    for (const auto& [name, work] : capabilities) {
        const double seconds = best_of(rounds, [&] {
            for (const std::string& text : corpus) {
                const auto tree = quarnel::parser::parse_pattern(text);
                work(tree.value());
            }
        });
        const double per_pattern = seconds / static_cast<double>(corpus.size()) * 1e6;
        if (parse_alone == 0) {
            parse_alone = per_pattern;
        }
        std::printf("  %-24s %6.2f us/pattern  %4.2fx parse\n", name, per_pattern, per_pattern / parse_alone);
    }
    // The strict checks read the text's parse tree, not the syntax tree: they take the text.
    const double strict_seconds = best_of(rounds, [&] {
        for (const std::string& text : corpus) {
            sink += quarnel::tools::strict_findings(text).ok() ? 1 : 0;
        }
    });
    const double strict_per_pattern = strict_seconds / static_cast<double>(corpus.size()) * 1e6;
    std::printf("  %-24s %6.2f us/pattern  %4.2fx parse\n", "strict_findings", strict_per_pattern,
                strict_per_pattern / parse_alone);
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    for (std::size_t i = 1; i < inputs.size(); ++i) {
        const std::string data = read_file(inputs[i]);
        const bool json = inputs[i].ends_with(".json");
        const int input_rounds = std::max(1, rounds / 5);
        std::printf("%s:\n", inputs[i].c_str());
        for (const auto report : {quarnel::tools::Report::rejections, quarnel::tools::Report::tree_json}) {
            const char* name = report == quarnel::tools::Report::rejections ? "check" : "tree_json";
            double one_job = 0;
            for (const unsigned jobs : {1U, cores}) {
                const double seconds = best_of(input_rounds, [&] {
                    const auto rendered = json ? quarnel::tools::check_json_document(data, inputs[i], report, jobs)
                                               : quarnel::tools::check_text_document(data, inputs[i], report, jobs);
                    sink += rendered ? rendered->out.size() : 0;
                });
                one_job = jobs == 1 ? seconds : one_job;
                std::printf("  %-9s jobs %u: %.3f s (%.2fx)\n", name, jobs, seconds, one_job / seconds);
            }
        }
    }
    return sink == 42 ? 1 : 0;
}
