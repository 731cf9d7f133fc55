// The compiler: a syntax tree checked and turned into the matcher's immutable form.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ast/ast.hpp"
#include "match/codec.hpp"
#include "match/errors.hpp"
#include "match/instant.hpp"

struct pcre2_real_code_8;

namespace quarnel::match {

enum class Op : std::uint8_t { Exists, Eq, Neq, Gt, Lt, Ge, Le, In, Like, Matches, IsSubset, IsSuperset };

enum class Family : std::uint8_t { Text, Number, Boolean, Time, Bytes };

struct Constant {
    Family family = Family::Text;
    std::string text;                    // Text: UTF-8; Bytes: the bytes themselves
    std::optional<std::string> latin1;   // Text: its bytes when every code point is below 256
    bool is_integer = false;             // Number
    std::int64_t integer = 0;
    double real = 0;
    bool boolean = false;
    Instant instant = 0;
};

struct PathStep {
    enum class Index : std::uint8_t { None, Number, Star };
    std::string property;
    Index index = Index::None;
    std::uint32_t number = 0;
    bool dereference = false;  // a _ref/_refs step followed by more steps
};

// LIKE as tokens over code points: any_run is %, any_one is _.
struct LikeProgram {
    static constexpr std::uint32_t any_run = UINT32_MAX;
    static constexpr std::uint32_t any_one = UINT32_MAX - 1;
    std::vector<std::uint32_t> tokens;
    bool latin1 = false;  // every literal below 256: usable on binary values
};

struct RegexCode {
    std::shared_ptr<const pcre2_real_code_8> text;   // UTF and UCP
    std::shared_ptr<const pcre2_real_code_8> bytes;  // Latin-1 program, when it compiles
};

struct CompiledComparison {
    std::string object_type;
    std::vector<PathStep> path;
    Op op = Op::Eq;
    bool negated = false;
    std::vector<Constant> constants;  // one, or the IN list
    LikeProgram like;
    RegexCode regex;
    AddressBlock block;
};

// A leaf's comparison expression in postfix order: comparisons left to right.
struct Instruction {
    enum class Code : std::uint8_t { Compare, And, Or };
    Code code;
    std::uint32_t comparison = 0;
};

struct Expression {
    std::vector<Instruction> program;
    std::vector<std::string> types;  // object types its comparisons name
};

struct PatternNode {
    enum class Kind : std::uint8_t { Leaf, And, Or, FollowedBy, Qualified };
    Kind kind = Kind::Leaf;
    std::uint32_t left = 0, right = 0;  // Qualified: left is the operand
    std::uint32_t leaf = 0;
    std::uint32_t repeat = 1;
    bool has_within = false;
    bool within_always = false;  // so large that every binding fits
    Instant limit_ns = 0;
    bool has_window = false;
    Instant start = 0, stop = 0;
};

struct Leaf {
    std::uint32_t expression = 0;
    Instant window_start = instant_min;  // intersection of enclosing START/STOP windows
    Instant window_stop = instant_max;
    std::uint32_t list = 0;  // candidate list shared by leaves of equal expression and window
};

struct CompileOptions {
    std::uint32_t max_pattern_depth = 1000;
};

class CompiledPattern {
public:
    std::vector<PatternNode> nodes;  // children before parents; the root is last
    std::vector<Leaf> leaves;        // left-to-right order
    std::vector<Expression> expressions;
    std::vector<CompiledComparison> comparisons;
    std::uint32_t lists = 0;
    std::vector<std::string> warnings;

    std::uint32_t root() const { return static_cast<std::uint32_t>(nodes.size() - 1); }
};

Expected<CompiledPattern, PatternError> compile(const ast::PatternExpr& root,
                                                const CompileOptions& options = {});

// WITHIN seconds as an exact nanosecond limit; nothing when every difference fits.
std::optional<Instant> within_limit(double seconds);

}  // namespace quarnel::match
