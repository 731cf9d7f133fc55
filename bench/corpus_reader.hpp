// Reads a benchmark corpus for the C++ benchmarks and the instruction-count driver, and cuts
// its patterns short into the rejected input both time.
#pragma once

#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quarnel::bench {

// One pattern a line; a line that begins with a space or a tab continues the pattern above.
inline std::vector<std::string> read_corpus(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot open " + path);
    std::vector<std::string> patterns;
    for (std::string line; std::getline(file, line);) {
        if (line.empty()) continue;
        if ((line.front() == ' ' || line.front() == '\t') && !patterns.empty()) {
            patterns.back() += '\n';
            patterns.back() += line;
        } else {
            patterns.push_back(std::move(line));
        }
    }
    return patterns;
}

// A corpus pattern cut to two thirds of its length, as a checker meets truncated
// indicators: most such cuts are rejected.
inline std::string_view cut_short(std::string_view pattern) {
    return pattern.substr(0, pattern.size() * 2 / 3);
}

}  // namespace quarnel::bench
