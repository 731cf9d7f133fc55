// The typed syntax tree of one parsed pattern. Nodes own their children; copies are deep.
//
// Operator chains fold from the left, so a chain of n operands is a tree n levels deep
// along its left spine, and parentheses deepen it further. Copying, comparing and
// destroying composites and qualified patterns therefore loop over the tree instead of
// recursing: a tree built on one thread may be used up on another with a small stack.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ast/inline_vector.hpp"
#include "ast/node_array.hpp"
#include "ast/node_memory.hpp"
#include "ast/text.hpp"

namespace quarnel::ast {

enum class ComparisonOp : std::uint8_t {
    EQ = 0,
    NEQ = 1,
    GT = 2,
    LT = 3,
    GE = 4,
    LE = 5,
    IN = 6,
    LIKE = 7,
    MATCHES = 8,
    ISSUBSET = 9,
    ISSUPERSET = 10,
};
enum class BooleanOp : std::uint8_t { AND = 0, OR = 1 };
enum class ObservationOp : std::uint8_t { AND = 0, OR = 1, FOLLOWEDBY = 2 };
enum class UnaryOp : std::uint8_t { EXISTS = 0 };

// Debugging names: "And", "Or", "FollowedBy".
std::string_view debug_name(BooleanOp op);
std::string_view debug_name(ObservationOp op);

// A day of the proleptic Gregorian calendar. Its years reach past std::chrono::year's
// (a timestamp without a zone may name years -262,144 to 262,143).
//
// Month and day take a byte each, so that a timestamp, and with it every constant and tree
// node, is 8 bytes smaller; a value past a byte's range is kept as 255, which no month or
// day is, so that `ok` still rejects it.
class Date {
public:
    constexpr Date() = default;
    constexpr Date(std::int32_t year, unsigned month, unsigned day)
        : year_(year), month_(saturated(month)), day_(saturated(day)) {}
    // Every chrono date is a Date.
    constexpr Date(std::chrono::year_month_day date)
        : Date(static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
               static_cast<unsigned>(date.day())) {}

    // The date `days` days after 1970-01-01 (before it when negative).
    static Date from_days(std::int64_t days);

    std::int32_t year() const { return year_; }
    unsigned month() const { return month_; }
    unsigned day() const { return day_; }

    // Whether the month is 1 to 12 and the day exists in that month of that year.
    bool ok() const;
    // Days since 1970-01-01, negative before it.
    std::int64_t days_since_epoch() const;
    explicit operator std::chrono::sys_days() const { return std::chrono::sys_days{std::chrono::days{days_since_epoch()}}; }

    // Calendar order: the members run from year to day.
    auto operator<=>(const Date&) const = default;

private:
    static constexpr std::uint8_t saturated(unsigned value) {
        return static_cast<std::uint8_t>(value < 255 ? value : 255);
    }

    std::int32_t year_ = 1970;
    std::uint8_t month_ = 1;
    std::uint8_t day_ = 1;
};

// An instant in UTC. A leap second is second 59 with a fraction of 1e9 ns or more.
struct Timestamp {
    Date date;
    std::int32_t seconds_of_day = 0;  // 0 to 86399
    std::uint32_t nanoseconds = 0;    // 0 to 999,999,999, plus 1e9 for a leap second

    bool operator==(const Timestamp&) const = default;
};

struct StixValue {
    using String = Text;
    using Int = std::int64_t;
    using Float = double;
    using Bool = bool;
    struct Hex {
        Text text;
        bool operator==(const Hex&) const = default;
    };
    struct Binary {
        Text text;
        bool operator==(const Binary&) const = default;
    };

    // The order of the alternatives is fixed: conversions dispatch on it.
    std::variant<String, Int, Float, Bool, Timestamp, Hex, Binary> value;

    bool operator==(const StixValue&) const = default;
};

struct ComparisonRhs {
    using Value = StixValue;
    // A parse puts a short list in its node block, beside the nodes.
    using List = NodeArray<StixValue>;

    std::variant<Value, List> value;

    bool operator==(const ComparisonRhs&) const = default;
};

struct PathIndex {
    using Number = std::uint32_t;
    struct Star {
        bool operator==(const Star&) const = default;
    };

    std::variant<Number, Star> value;

    bool operator==(const PathIndex&) const = default;
};

struct PathComponent {
    Text property;
    std::optional<PathIndex> index;

    bool operator==(const PathComponent&) const = default;
};

// Its first two steps inline: a path of one step, the most common, or of two (a hash of a
// file, a property of an extension) takes no allocation of its own.
using PropertyPath = InlineVector<PathComponent, 2>;

struct ObjectPath {
    Text object_type;
    PropertyPath property_path;

    bool operator==(const ObjectPath&) const = default;
};

using ComparisonOperator = std::variant<ComparisonOp, UnaryOp>;

struct Comparison {
    ObjectPath object_path;
    ComparisonOperator op = ComparisonOp::EQ;
    bool negated = false;
    std::optional<ComparisonRhs> constant;

    bool operator==(const Comparison&) const = default;
};

struct ComparisonExpr;
struct PatternExpr;

struct CompositeComparison {
    std::unique_ptr<ComparisonExpr> left;
    std::unique_ptr<ComparisonExpr> right;
    BooleanOp op;

    // A composite of two operands, each moved into a heap node of its own.
    static CompositeComparison new_(ComparisonExpr&& left, BooleanOp op, ComparisonExpr&& right);

    CompositeComparison(std::unique_ptr<ComparisonExpr> left, BooleanOp op,
                        std::unique_ptr<ComparisonExpr> right);
    CompositeComparison(const CompositeComparison& other);
    CompositeComparison(CompositeComparison&&) noexcept = default;
    CompositeComparison& operator=(const CompositeComparison& other);
    CompositeComparison& operator=(CompositeComparison&&) noexcept = default;
    ~CompositeComparison();

    friend bool operator==(const CompositeComparison& a, const CompositeComparison& b);
};

struct ComparisonExpr {
    using Comparison = ast::Comparison;
    using Composite = CompositeComparison;

    std::variant<Comparison, Composite> value;

    bool operator==(const ComparisonExpr&) const = default;

    // A node on the heap may come from a parse's block (see node_memory.hpp).
    static void* operator new(std::size_t size) { return node_memory::allocate_single(size); }
    static void operator delete(void* node) noexcept { node_memory::release(node); }
};

struct CompositePattern {
    std::unique_ptr<PatternExpr> left;
    std::unique_ptr<PatternExpr> right;
    ObservationOp op;

    static CompositePattern new_(PatternExpr&& left, ObservationOp op, PatternExpr&& right);

    CompositePattern(std::unique_ptr<PatternExpr> left, ObservationOp op,
                     std::unique_ptr<PatternExpr> right);
    CompositePattern(const CompositePattern& other);
    CompositePattern(CompositePattern&&) noexcept = default;
    CompositePattern& operator=(const CompositePattern& other);
    CompositePattern& operator=(CompositePattern&&) noexcept = default;
    ~CompositePattern();

    friend bool operator==(const CompositePattern& a, const CompositePattern& b);
};

struct QualifiedPattern {
    std::unique_ptr<PatternExpr> pattern;
    std::optional<std::uint32_t> repeat;
    std::optional<double> within;
    std::optional<Timestamp> start;
    std::optional<Timestamp> stop;

    QualifiedPattern(std::unique_ptr<PatternExpr> pattern, std::optional<std::uint32_t> repeat,
                     std::optional<double> within, std::optional<Timestamp> start,
                     std::optional<Timestamp> stop);
    QualifiedPattern(const QualifiedPattern& other);
    QualifiedPattern(QualifiedPattern&&) noexcept = default;
    QualifiedPattern& operator=(const QualifiedPattern& other);
    QualifiedPattern& operator=(QualifiedPattern&&) noexcept = default;
    ~QualifiedPattern();

    friend bool operator==(const QualifiedPattern& a, const QualifiedPattern& b);
};

struct PatternExpr {
    using Observation = ComparisonExpr;
    using Composite = CompositePattern;
    using Qualified = QualifiedPattern;

    std::variant<Observation, Composite, Qualified> value;

    bool operator==(const PatternExpr&) const = default;

    // A node on the heap may come from a parse's block (see node_memory.hpp).
    static void* operator new(std::size_t size) { return node_memory::allocate_single(size); }
    static void operator delete(void* node) noexcept { node_memory::release(node); }
};

}  // namespace quarnel::ast
