#include "ast/ast.hpp"

#include <type_traits>
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

// Trees of either kind are copied, compared and destroyed in loops over their operand
// slots, so that no deep tree (a long chain, or deep parentheses parsed on a big stack
// and used on a small one) can exhaust the stack.

// The operand slots of a node: a composite has two; a qualified pattern one, taken as
// the right; a leaf none. `Expr` may be const.
template <typename Expr>
auto operand_slots(Expr& expr) {
    using Plain = std::remove_const_t<Expr>;
    using Slot = std::conditional_t<std::is_const_v<Expr>, const std::unique_ptr<Plain>, std::unique_ptr<Plain>>;
    struct {
        Slot* left = nullptr;
        Slot* right = nullptr;
    } slots;
    if (auto* composite = std::get_if<typename Plain::Composite>(&expr.value)) {
        slots.left = &composite->left;
        slots.right = &composite->right;
    }
    if constexpr (std::is_same_v<Plain, PatternExpr>) {
        if (auto* qualified = std::get_if<QualifiedPattern>(&expr.value)) {
            slots.right = &qualified->pattern;
        }
    }
    return slots;
}

template <typename Expr>
bool has_operands(const Expr& expr) {
    return operand_slots(expr).right != nullptr;
}

template <typename Expr>
void release_operand(std::unique_ptr<Expr>& operand, node_memory::ReleaseBatch& batch) noexcept;

// An observation's chain of comparisons goes into the batch of the patterns around it: the
// chain's own batch would give back nodes of the same chunk in a locked step of its own.
void release_comparisons(PatternExpr& pattern, node_memory::ReleaseBatch& batch) noexcept {
    if (auto* const observation = std::get_if<PatternExpr::Observation>(&pattern.value)) {
        if (auto* const chain = std::get_if<CompositeComparison>(&observation->value)) {
            release_operand(chain->left, batch);
            release_operand(chain->right, batch);
        }
    }
}
void release_comparisons(ComparisonExpr&, node_memory::ReleaseBatch&) noexcept {}

// Destroys a node and gives its memory to `batch`, which is what `delete` would do one node
// at a time. Its operand slots must be empty or hold leaves only.
template <typename Expr>
void free_node(std::unique_ptr<Expr>& node, node_memory::ReleaseBatch& batch) noexcept {
    if (Expr* const raw = node.release()) {
        release_comparisons(*raw, batch);
        raw->~Expr();
        batch.add(raw);
    }
}

// Destroys a tree with no recursion and no allocation. Where only one operand has operands
// of its own (a chain, a qualified pattern) the root goes and that operand becomes the
// root; where both have, the left one is first rotated up to the root.
template <typename Expr>
void release(std::unique_ptr<Expr> root, node_memory::ReleaseBatch& batch) noexcept {
    while (root) {
        const auto slots = operand_slots(*root);
        if (slots.right == nullptr) {
            free_node(root, batch);  // a leaf
            return;
        }
        const bool left_deep = slots.left != nullptr && *slots.left && has_operands(**slots.left);
        const bool right_deep = *slots.right && has_operands(**slots.right);
        if (left_deep && right_deep) {
            std::unique_ptr<Expr> pivot = std::move(*slots.left);
            auto* pivot_right = operand_slots(*pivot).right;
            *slots.left = std::move(*pivot_right);
            *pivot_right = std::move(root);
            root = std::move(pivot);
        } else {
            // The old root goes with at most leaves below it.
            std::unique_ptr<Expr> next = std::move(left_deep ? *slots.left : *slots.right);
            if (slots.left != nullptr) free_node(*slots.left, batch);
            free_node(*slots.right, batch);
            free_node(root, batch);
            root = std::move(next);
        }
    }
}

// An operand with operands of its own goes through `release`, so that no depth of tree takes
// the stack; a leaf, as most operands are, is freed at once, without the loop's checks.
template <typename Expr>
void release_operand(std::unique_ptr<Expr>& operand, node_memory::ReleaseBatch& batch) noexcept {
    if (!operand) {
        return;
    }
    if (has_operands(*operand)) {
        release(std::move(operand), batch);
    } else {
        free_node(operand, batch);
    }
}

// A copy of a node with its operand slots left empty.
ComparisonExpr without_operands(const ComparisonExpr& expr) {
    if (const auto* composite = std::get_if<CompositeComparison>(&expr.value)) {
        return ComparisonExpr{CompositeComparison(nullptr, composite->op, nullptr)};
    }
    return expr;
}

PatternExpr without_operands(const PatternExpr& expr) {
    if (const auto* composite = std::get_if<CompositePattern>(&expr.value)) {
        return PatternExpr{CompositePattern(nullptr, composite->op, nullptr)};
    }
    if (const auto* qualified = std::get_if<QualifiedPattern>(&expr.value)) {
        return PatternExpr{QualifiedPattern(nullptr, qualified->repeat, qualified->within, qualified->start,
                                            qualified->stop)};
    }
    return expr;
}

template <typename Expr>
std::unique_ptr<Expr> clone(const std::unique_ptr<Expr>& source) {
    std::unique_ptr<Expr> root;
    std::vector<std::pair<const std::unique_ptr<Expr>*, std::unique_ptr<Expr>*>> pending{{&source, &root}};
    while (!pending.empty()) {
        const auto [from, into] = pending.back();
        pending.pop_back();
        if (!*from) {
            continue;
        }
        *into = std::make_unique<Expr>(without_operands(**from));
        const auto from_slots = operand_slots(std::as_const(**from));
        const auto into_slots = operand_slots(**into);
        if (from_slots.left != nullptr) pending.emplace_back(from_slots.left, into_slots.left);
        if (from_slots.right != nullptr) pending.emplace_back(from_slots.right, into_slots.right);
    }
    return root;
}

// Whether two nodes agree apart from their operands.
bool equal_without_operands(const ComparisonExpr& a, const ComparisonExpr& b) {
    const auto* x = std::get_if<CompositeComparison>(&a.value);
    const auto* y = std::get_if<CompositeComparison>(&b.value);
    if (x != nullptr || y != nullptr) {
        return x != nullptr && y != nullptr && x->op == y->op;
    }
    return a == b;
}

bool equal_without_operands(const PatternExpr& a, const PatternExpr& b) {
    if (a.value.index() != b.value.index()) {
        return false;
    }
    if (const auto* x = std::get_if<CompositePattern>(&a.value)) {
        return x->op == std::get<CompositePattern>(b.value).op;
    }
    if (const auto* x = std::get_if<QualifiedPattern>(&a.value)) {
        const auto& y = std::get<QualifiedPattern>(b.value);
        return x->repeat == y.repeat && x->within == y.within && x->start == y.start && x->stop == y.stop;
    }
    return a == b;
}

template <typename Expr>
bool trees_equal(const std::unique_ptr<Expr>& a, const std::unique_ptr<Expr>& b) {
    std::vector<std::pair<const std::unique_ptr<Expr>*, const std::unique_ptr<Expr>*>> pending{{&a, &b}};
    while (!pending.empty()) {
        const auto [x, y] = pending.back();
        pending.pop_back();
        if (!*x || !*y) {
            if (*x || *y) return false;
            continue;
        }
        if (!equal_without_operands(**x, **y)) {
            return false;
        }
        const auto x_slots = operand_slots(**x);
        const auto y_slots = operand_slots(**y);
        if (x_slots.left != nullptr) pending.emplace_back(x_slots.left, y_slots.left);
        if (x_slots.right != nullptr) pending.emplace_back(x_slots.right, y_slots.right);
    }
    return true;
}

}  // namespace

CompositeComparison CompositeComparison::new_(ComparisonExpr&& left, BooleanOp op,
                                              ComparisonExpr&& right) {
    return CompositeComparison(std::make_unique<ComparisonExpr>(std::move(left)), op,
                               std::make_unique<ComparisonExpr>(std::move(right)));
}

CompositeComparison::CompositeComparison(std::unique_ptr<ComparisonExpr> left_operand,
                                         BooleanOp op_, std::unique_ptr<ComparisonExpr> right_operand)
    : left(std::move(left_operand)), right(std::move(right_operand)), op(op_) {}

CompositeComparison::CompositeComparison(const CompositeComparison& other)
    : left(clone(other.left)), right(clone(other.right)), op(other.op) {}

CompositeComparison& CompositeComparison::operator=(const CompositeComparison& other) {
    if (this != &other) {
        *this = CompositeComparison(other);
    }
    return *this;
}

CompositeComparison::~CompositeComparison() {
    node_memory::ReleaseBatch batch;
    release_operand(left, batch);
    release_operand(right, batch);
}

bool operator==(const CompositeComparison& a, const CompositeComparison& b) {
    return a.op == b.op && trees_equal(a.left, b.left) && trees_equal(a.right, b.right);
}

CompositePattern CompositePattern::new_(PatternExpr&& left, ObservationOp op, PatternExpr&& right) {
    return CompositePattern(std::make_unique<PatternExpr>(std::move(left)), op,
                            std::make_unique<PatternExpr>(std::move(right)));
}

CompositePattern::CompositePattern(std::unique_ptr<PatternExpr> left_operand, ObservationOp op_,
                                   std::unique_ptr<PatternExpr> right_operand)
    : left(std::move(left_operand)), right(std::move(right_operand)), op(op_) {}

CompositePattern::CompositePattern(const CompositePattern& other)
    : left(clone(other.left)), right(clone(other.right)), op(other.op) {}

CompositePattern& CompositePattern::operator=(const CompositePattern& other) {
    if (this != &other) {
        *this = CompositePattern(other);
    }
    return *this;
}

CompositePattern::~CompositePattern() {
    node_memory::ReleaseBatch batch;
    release_operand(left, batch);
    release_operand(right, batch);
}

bool operator==(const CompositePattern& a, const CompositePattern& b) {
    return a.op == b.op && trees_equal(a.left, b.left) && trees_equal(a.right, b.right);
}

QualifiedPattern::QualifiedPattern(std::unique_ptr<PatternExpr> pattern_, std::optional<std::uint32_t> repeat_,
                                   std::optional<double> within_, std::optional<Timestamp> start_,
                                   std::optional<Timestamp> stop_)
    : pattern(std::move(pattern_)), repeat(repeat_), within(within_), start(start_), stop(stop_) {}

QualifiedPattern::QualifiedPattern(const QualifiedPattern& other)
    : pattern(clone(other.pattern)),
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

QualifiedPattern::~QualifiedPattern() {
    node_memory::ReleaseBatch batch;
    release_operand(pattern, batch);
}

bool operator==(const QualifiedPattern& a, const QualifiedPattern& b) {
    return a.repeat == b.repeat && a.within == b.within && a.start == b.start && a.stop == b.stop &&
           trees_equal(a.pattern, b.pattern);
}

}  // namespace quarnel::ast
