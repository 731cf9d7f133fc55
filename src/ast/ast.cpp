#include "ast/ast.hpp"

#include <utility>

namespace quarnel::ast {

std::string_view debug_name(BooleanOp op) {
    return op == BooleanOp::AND ? "And" : "Or";
}

std::string_view debug_name(ObservationOp op) {
    switch (op) {
        case ObservationOp::AND:
            return "And";
        case ObservationOp::OR:
            return "Or";
        case ObservationOp::FOLLOWEDBY:
            break;
    }
    return "FollowedBy";
}

bool Date::ok() const {
    if (month_ < 1 || month_ > 12 || day_ < 1) {
        return false;
    }
    static constexpr unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year_ % 4 == 0 && (year_ % 100 != 0 || year_ % 400 == 0);
    return day_ <= lengths[month_ - 1] + (month_ == 2 && leap ? 1 : 0);
}

// Counting from 1 March of year 0 puts the leap day last in each 400-year era.
std::int64_t Date::days_since_epoch() const {
    const std::int64_t year = std::int64_t{year_} - (month_ <= 2 ? 1 : 0);
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month_ > 2 ? month_ - 3 : month_ + 9) + 2) / 5 + day_ - 1;
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

Date Date::from_days(std::int64_t days) {
    const std::int64_t shifted = days + 719468;
    const std::int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const std::int64_t day_of_era = shifted - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t month_index = (5 * day_of_year + 2) / 153;  // 0 is March
    const auto day = static_cast<unsigned>(day_of_year - (153 * month_index + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(month_index < 10 ? month_index + 3 : month_index - 9);
    const auto year = static_cast<std::int32_t>(year_of_era + era * 400 + (month <= 2 ? 1 : 0));
    return Date(year, month, day);
}

namespace {

// The loops below serve both composite kinds: `Composite` holds two `Expr` operands,
// and an `Expr` may hold a `Composite`.

template <typename Composite, typename Expr>
const Composite* composite_in(const Expr& expr) {
    return std::get_if<Composite>(&expr.value);
}

// Copies the left spine bottom-up; right operands are copied recursively.
template <typename Composite, typename Expr>
Composite copy_spine(const Composite& top) {
    std::vector<const Composite*> spine{&top};
    while (const Composite* next = composite_in<Composite>(*spine.back()->left)) {
        spine.push_back(next);
    }
    auto left = std::make_unique<Expr>(*spine.back()->left);
    for (std::size_t level = spine.size(); level-- > 1;) {
        const Composite& source = *spine[level];
        left = std::make_unique<Expr>(Expr{Composite(
            std::move(left), source.op, std::make_unique<Expr>(*source.right))});
    }
    return Composite(std::move(left), top.op, std::make_unique<Expr>(*top.right));
}

// Detaches the left spine one node at a time so that no destructor recurses along it.
template <typename Composite, typename Expr>
void release_spine(std::unique_ptr<Expr>& left) noexcept {
    std::unique_ptr<Expr> next = std::move(left);
    while (next) {
        auto* composite = std::get_if<Composite>(&next->value);
        if (composite == nullptr) {
            return;
        }
        next = std::move(composite->left);
    }
}

template <typename Composite, typename Expr>
bool spines_equal(const Composite& a, const Composite& b) {
    const Composite* x = &a;
    const Composite* y = &b;
    while (true) {
        if (x->op != y->op || !(*x->right == *y->right)) {
            return false;
        }
        const Composite* x_left = composite_in<Composite>(*x->left);
        const Composite* y_left = composite_in<Composite>(*y->left);
        if (x_left == nullptr || y_left == nullptr) {
            return *x->left == *y->left;
        }
        x = x_left;
        y = y_left;
    }
}

}  // namespace

CompositeComparison CompositeComparison::new_(ComparisonExpr&& left, BooleanOp op,
                                              ComparisonExpr&& right) {
    return CompositeComparison(std::make_unique<ComparisonExpr>(std::move(left)), op,
                               std::make_unique<ComparisonExpr>(std::move(right)));
}

CompositeComparison CompositeComparison::new_(std::unique_ptr<ComparisonExpr> left, BooleanOp op,
                                              std::unique_ptr<ComparisonExpr> right) {
    return CompositeComparison(std::move(left), op, std::move(right));
}

CompositeComparison::CompositeComparison(std::unique_ptr<ComparisonExpr> left_operand,
                                         BooleanOp op_, std::unique_ptr<ComparisonExpr> right_operand)
    : left(std::move(left_operand)), right(std::move(right_operand)), op(op_) {}

CompositeComparison::CompositeComparison(const CompositeComparison& other)
    : CompositeComparison(copy_spine<CompositeComparison, ComparisonExpr>(other)) {}

CompositeComparison& CompositeComparison::operator=(const CompositeComparison& other) {
    if (this != &other) {
        *this = CompositeComparison(other);
    }
    return *this;
}

CompositeComparison::~CompositeComparison() {
    release_spine<CompositeComparison>(left);
}

bool operator==(const CompositeComparison& a, const CompositeComparison& b) {
    return spines_equal<CompositeComparison, ComparisonExpr>(a, b);
}

CompositePattern CompositePattern::new_(PatternExpr&& left, ObservationOp op, PatternExpr&& right) {
    return CompositePattern(std::make_unique<PatternExpr>(std::move(left)), op,
                            std::make_unique<PatternExpr>(std::move(right)));
}

CompositePattern CompositePattern::new_(std::unique_ptr<PatternExpr> left, ObservationOp op,
                                        std::unique_ptr<PatternExpr> right) {
    return CompositePattern(std::move(left), op, std::move(right));
}

CompositePattern::CompositePattern(std::unique_ptr<PatternExpr> left_operand, ObservationOp op_,
                                   std::unique_ptr<PatternExpr> right_operand)
    : left(std::move(left_operand)), right(std::move(right_operand)), op(op_) {}

CompositePattern::CompositePattern(const CompositePattern& other)
    : CompositePattern(copy_spine<CompositePattern, PatternExpr>(other)) {}

CompositePattern& CompositePattern::operator=(const CompositePattern& other) {
    if (this != &other) {
        *this = CompositePattern(other);
    }
    return *this;
}

CompositePattern::~CompositePattern() {
    release_spine<CompositePattern>(left);
}

bool operator==(const CompositePattern& a, const CompositePattern& b) {
    return spines_equal<CompositePattern, PatternExpr>(a, b);
}

QualifiedPattern::QualifiedPattern(std::unique_ptr<PatternExpr> pattern_, std::optional<std::uint32_t> repeat_,
                                   std::optional<double> within_, std::optional<Timestamp> start_,
                                   std::optional<Timestamp> stop_)
    : pattern(std::move(pattern_)), repeat(repeat_), within(within_), start(start_), stop(stop_) {}

QualifiedPattern::QualifiedPattern(const QualifiedPattern& other)
    : pattern(std::make_unique<PatternExpr>(*other.pattern)),
      repeat(other.repeat),
      within(other.within),
      start(other.start),
      stop(other.stop) {}

QualifiedPattern& QualifiedPattern::operator=(const QualifiedPattern& other) {
    if (this != &other) {
        *this = QualifiedPattern(other);
    }
    return *this;
}

QualifiedPattern::~QualifiedPattern() = default;

bool operator==(const QualifiedPattern& a, const QualifiedPattern& b) {
    return a.repeat == b.repeat && a.within == b.within && a.start == b.start &&
           a.stop == b.stop && *a.pattern == *b.pattern;
}

}  // namespace quarnel::ast
