#include "ast/py_nodes.hpp"

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include "ast/py_convert.hpp"
#include "ast/py_operators.hpp"

namespace quarnel::py {

namespace {

template <typename Record>
struct NodeObject {
    PyObject ob_base;
    std::shared_ptr<const Record> record;
};

template <typename Record>
const std::shared_ptr<const Record>& shared_record_of(PyObject* self) {
    const auto& record = reinterpret_cast<const NodeObject<Record>*>(self)->record;
    if (!record) {
        throw std::logic_error("node object without its record");
    }
    return record;
}

template <typename Record>
const Record& record_of(PyObject* self) {
    return *shared_record_of<Record>(self);
}

template <typename T, typename Convert>
PyRef optional_object(const std::optional<T>& value, Convert&& convert) {
    return value ? convert(*value) : none();
}

PyRef operator_of(const ast::ComparisonOperator& op) {
    return std::visit([](const auto alternative) { return operator_object(alternative); }, op);
}

// ---- Texts of the representations

// Between double quotes, with a backslash before a double quote or a backslash.
std::string quoted(std::string_view text) {
    std::string result = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
        }
        result += c;
    }
    return result + '"';
}

// A finite value as significant digits d1 d2 ... dn and a power of ten: d1.d2...dn × 10^power.
struct Decimal {
    bool negative = false;
    std::string digits;
    int power = 0;
};

Decimal scientific(double value, std::optional<int> precision = std::nullopt) {
    std::array<char, 1024> buffer{};
    const auto written =
        precision ? std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                  std::chars_format::scientific, *precision)
                  : std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                  std::chars_format::scientific);
    if (written.ec != std::errc{}) {
        throw std::system_error(std::make_error_code(written.ec), "formatting a float");
    }
    std::string_view text(buffer.data(), static_cast<std::size_t>(written.ptr - buffer.data()));
    Decimal decimal;
    if (text.front() == '-') {
        decimal.negative = true;
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    for (const char c : text.substr(0, e)) {
        if (c != '.') decimal.digits += c;
    }
    std::string_view exponent = text.substr(e + 1);
    if (exponent.front() == '+') {
        exponent.remove_prefix(1);
    }
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), decimal.power);
    return decimal;
}

// The same digits with the last one raised by one unit, carrying as needed.
Decimal next_up(Decimal decimal) {
    std::size_t at = decimal.digits.size();
    while (at > 0 && decimal.digits[at - 1] == '9') {
        decimal.digits[--at] = '0';
    }
    if (at == 0) {
        decimal.digits.insert(decimal.digits.begin(), '1');
        ++decimal.power;
    } else {
        ++decimal.digits[at - 1];
    }
    while (decimal.digits.size() > 1 && decimal.digits.back() == '0') {
        decimal.digits.pop_back();
    }
    return decimal;
}

double value_of(const Decimal& decimal) {
    std::string text = decimal.negative ? "-" : "";
    text.append(decimal.digits, 0, 1).append(".").append(decimal.digits, 1);
    text.append("e").append(std::to_string(decimal.power));
    double value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

// The shortest digits that read back as `value`. Where the value lies exactly halfway
// between two such texts of that length, the one of larger magnitude.
Decimal shortest_decimal(double value) {
    Decimal shortest = scientific(value);
    // Every double's decimal expansion ends within 767 significant digits.
    const Decimal exact = scientific(value, 780);
    const std::size_t length = shortest.digits.size();
    const bool halfway = exact.power == shortest.power && exact.digits.compare(0, length, shortest.digits) == 0 &&
                         exact.digits[length] == '5' &&
                         exact.digits.find_first_not_of('0', length + 1) == std::string::npos;
    if (halfway) {
        const Decimal larger = next_up(shortest);
        if (value_of(larger) == value) {
            return larger;
        }
    }
    return shortest;
}

// The exponent form: "1e16", "1.5e16", "1e-5".
std::string exponent_text(const Decimal& decimal) {
    std::string text = decimal.negative ? "-" : "";
    text += decimal.digits.front();
    if (decimal.digits.size() > 1) {
        text += '.';
        text.append(decimal.digits, 1);
    }
    return text + 'e' + std::to_string(decimal.power);
}

// The plain form, always with a fractional part: "300.0", "0.5", "0.0001".
std::string decimal_text(const Decimal& decimal) {
    std::string text = decimal.negative ? "-" : "";
    if (decimal.power < 0) {
        return text + "0." + std::string(static_cast<std::size_t>(-decimal.power - 1), '0') + decimal.digits;
    }
    const auto whole = static_cast<std::size_t>(decimal.power) + 1;
    std::string digits = decimal.digits;
    if (digits.size() < whole) {
        digits.append(whole - digits.size(), '0');
    }
    text.append(digits, 0, whole);
    const std::string fraction = digits.substr(whole);
    return text + "." + (fraction.empty() ? "0" : fraction);
}

std::string float_text(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    const double magnitude = std::fabs(value);
    const bool exponent_form = magnitude >= 1e16 || (magnitude != 0 && magnitude < 1e-4);
    const Decimal decimal = shortest_decimal(value);
    return exponent_form ? exponent_text(decimal) : decimal_text(decimal);
}

template <typename T, typename Format>
std::string optional_text(const std::optional<T>& value, Format&& format) {
    return value ? "Some(" + format(*value) + ")" : "None";
}

std::string index_text(const std::optional<ast::PathIndex>& index) {
    if (!index) {
        return "None";
    }
    if (const auto* number = std::get_if<ast::PathIndex::Number>(&index->value)) {
        return std::to_string(*number);
    }
    return "'*'";
}

// ---- PathComponent

PyRef path_component_property(PyObject* self, void*) {
    return text(record_of<ast::PathComponent>(self).property);
}

PyRef path_component_index(PyObject* self, void*) {
    return optional_object(record_of<ast::PathComponent>(self).index,
                           [](const ast::PathIndex& index) {
                               return std::visit(
                                   Overloaded{
                                       [](const ast::PathIndex::Number number) {
                                           return PyRef::steal(PyLong_FromUnsignedLong(number));
                                       },
                                       [](const ast::PathIndex::Star) { return text("*"); },
                                   },
                                   index.value);
                           });
}

PyRef path_component_repr(PyObject* self) {
    const auto& component = record_of<ast::PathComponent>(self);
    return text("PathComponent(property=" + quoted(component.property) +
                ", index=" + index_text(component.index) + ")");
}

// ---- ObjectPath

PyRef object_path_object_type(PyObject* self, void*) {
    return text(record_of<ast::ObjectPath>(self).object_type);
}

PyRef object_path_property_path(PyObject* self, void*) {
    const auto& path = shared_record_of<ast::ObjectPath>(self);
    return list_of(path->property_path, [&](const ast::PathComponent& component) {
        return node_object(share(path, component));
    });
}

PyRef object_path_repr(PyObject* self) {
    return text("ObjectPath(object_type=" + quoted(record_of<ast::ObjectPath>(self).object_type) +
                ", ...)");
}

// ---- Comparison

PyRef comparison_object_path(PyObject* self, void*) {
    const auto& comparison = shared_record_of<ast::Comparison>(self);
    return node_object(share(comparison, comparison->object_path));
}

PyRef comparison_op(PyObject* self, void*) {
    return operator_of(record_of<ast::Comparison>(self).op);
}

PyRef comparison_constant(PyObject* self, void*) {
    return rhs_to_pyobject(record_of<ast::Comparison>(self).constant);
}

PyRef comparison_negated(PyObject* self, void*) {
    return boolean(record_of<ast::Comparison>(self).negated);
}

// The operator's own repr(); "?" if it cannot be made, so that repr() itself never fails
// for that reason.
PyRef operator_repr(const ast::ComparisonOperator& op) {
    const PyRef object = operator_of(op);
    PyRef repr = object ? PyRef::steal(PyObject_Repr(object.get())) : PyRef{};
    if (!repr) {
        PyErr_Clear();
        return text("?");
    }
    return repr;
}

PyRef comparison_repr(PyObject* self) {
    const auto& comparison = record_of<ast::Comparison>(self);
    const PyRef op = operator_repr(comparison.op);
    if (!op) {
        return {};
    }
    return PyRef::steal(PyUnicode_FromFormat("Comparison(op=%U, negated=%s)", op.get(),
                                             comparison.negated ? "true" : "false"));
}

// ---- CompositeComparison

PyRef composite_comparison_left(PyObject* self, void*) {
    const auto& composite = shared_record_of<ast::CompositeComparison>(self);
    return comparison_expr_to_pyobject(share(composite, *composite->left));
}

PyRef composite_comparison_right(PyObject* self, void*) {
    const auto& composite = shared_record_of<ast::CompositeComparison>(self);
    return comparison_expr_to_pyobject(share(composite, *composite->right));
}

PyRef composite_comparison_op(PyObject* self, void*) {
    return operator_object(record_of<ast::CompositeComparison>(self).op);
}

PyRef composite_comparison_repr(PyObject* self) {
    const auto op = ast::debug_name(record_of<ast::CompositeComparison>(self).op);
    return text("CompositeComparison(op=" + std::string(op) + ", ...)");
}

// ---- CompositePattern

PyRef composite_pattern_left(PyObject* self, void*) {
    const auto& composite = shared_record_of<ast::CompositePattern>(self);
    return pattern_to_pyobject(share(composite, *composite->left));
}

PyRef composite_pattern_right(PyObject* self, void*) {
    const auto& composite = shared_record_of<ast::CompositePattern>(self);
    return pattern_to_pyobject(share(composite, *composite->right));
}

PyRef composite_pattern_op(PyObject* self, void*) {
    return operator_object(record_of<ast::CompositePattern>(self).op);
}

PyRef composite_pattern_repr(PyObject* self) {
    const auto op = ast::debug_name(record_of<ast::CompositePattern>(self).op);
    return text("CompositePattern(op=" + std::string(op) + ", ...)");
}

// ---- QualifiedPattern

PyRef qualified_pattern_pattern(PyObject* self, void*) {
    const auto& qualified = shared_record_of<ast::QualifiedPattern>(self);
    return pattern_to_pyobject(share(qualified, *qualified->pattern));
}

PyRef qualified_pattern_repeat(PyObject* self, void*) {
    return optional_object(record_of<ast::QualifiedPattern>(self).repeat,
                           [](const std::uint32_t count) {
                               return PyRef::steal(PyLong_FromUnsignedLong(count));
                           });
}

PyRef qualified_pattern_within(PyObject* self, void*) {
    return optional_object(record_of<ast::QualifiedPattern>(self).within,
                           [](const double seconds) {
                               return PyRef::steal(PyFloat_FromDouble(seconds));
                           });
}

PyRef qualified_pattern_start(PyObject* self, void*) {
    return optional_object(record_of<ast::QualifiedPattern>(self).start, datetime_to_pyobject);
}

PyRef qualified_pattern_stop(PyObject* self, void*) {
    return optional_object(record_of<ast::QualifiedPattern>(self).stop, datetime_to_pyobject);
}

PyRef qualified_pattern_repr(PyObject* self) {
    const auto& qualified = record_of<ast::QualifiedPattern>(self);
    const auto repeat = optional_text(qualified.repeat,
                                      [](const std::uint32_t count) { return std::to_string(count); });
    const auto within = optional_text(qualified.within, float_text);
    return text("QualifiedPattern(repeat=" + repeat + ", within=" + within + ", ...)");
}

// ---- Class definitions

constexpr PyGetSetDef attribute(const char* name, getter get) {
    return {name, get, nullptr, nullptr, nullptr};
}
constexpr PyGetSetDef end_of_attributes{nullptr, nullptr, nullptr, nullptr, nullptr};

template <typename Record>
struct Node;

template <>
struct Node<ast::PathComponent> {
    static constexpr const char* type_name = "builtins.PathComponent";
    static constexpr reprfunc repr = Entry<&path_component_repr>::call;
    static inline PyGetSetDef attributes[] = {
        attribute("property", Entry<&path_component_property>::call),
        attribute("index", Entry<&path_component_index>::call),
        end_of_attributes,
    };
};

template <>
struct Node<ast::ObjectPath> {
    static constexpr const char* type_name = "builtins.ObjectPath";
    static constexpr reprfunc repr = Entry<&object_path_repr>::call;
    static inline PyGetSetDef attributes[] = {
        attribute("object_type", Entry<&object_path_object_type>::call),
        attribute("property_path", Entry<&object_path_property_path>::call),
        end_of_attributes,
    };
};

template <>
struct Node<ast::Comparison> {
    static constexpr const char* type_name = "builtins.Comparison";
    static constexpr reprfunc repr = Entry<&comparison_repr>::call;
    static inline PyGetSetDef attributes[] = {
        attribute("object_path", Entry<&comparison_object_path>::call),
        attribute("op", Entry<&comparison_op>::call),
        attribute("constant", Entry<&comparison_constant>::call),
        attribute("negated", Entry<&comparison_negated>::call),
        end_of_attributes,
    };
};

template <>
struct Node<ast::CompositeComparison> {
    static constexpr const char* type_name = "builtins.CompositeComparison";
    static constexpr reprfunc repr = Entry<&composite_comparison_repr>::call;
    static inline PyGetSetDef attributes[] = {
        attribute("left", Entry<&composite_comparison_left>::call),
        attribute("right", Entry<&composite_comparison_right>::call),
        attribute("op", Entry<&composite_comparison_op>::call),
        end_of_attributes,
    };
};

template <>
struct Node<ast::CompositePattern> {
    static constexpr const char* type_name = "builtins.CompositePattern";
    static constexpr reprfunc repr = Entry<&composite_pattern_repr>::call;
    static inline PyGetSetDef attributes[] = {
        attribute("left", Entry<&composite_pattern_left>::call),
        attribute("right", Entry<&composite_pattern_right>::call),
        attribute("op", Entry<&composite_pattern_op>::call),
        end_of_attributes,
    };
};

template <>
struct Node<ast::QualifiedPattern> {
    static constexpr const char* type_name = "builtins.QualifiedPattern";
    static constexpr reprfunc repr = Entry<&qualified_pattern_repr>::call;
    static inline PyGetSetDef attributes[] = {
        attribute("pattern", Entry<&qualified_pattern_pattern>::call),
        attribute("repeat", Entry<&qualified_pattern_repeat>::call),
        attribute("within", Entry<&qualified_pattern_within>::call),
        attribute("start", Entry<&qualified_pattern_start>::call),
        attribute("stop", Entry<&qualified_pattern_stop>::call),
        end_of_attributes,
    };
};

template <typename Record>
void dealloc(PyObject* self) noexcept {
    std::destroy_at(&reinterpret_cast<NodeObject<Record>*>(self)->record);
    free_instance(self);
}

template <typename Record>
PyRef create_class() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<Record>)},
        {Py_tp_repr, reinterpret_cast<void*>(Node<Record>::repr)},
        {Py_tp_getset, Node<Record>::attributes},
        {0, nullptr},
    };
    PyType_Spec spec{Node<Record>::type_name, sizeof(NodeObject<Record>), 0, final_class_flags,
                     slots};
    return PyRef::steal(PyType_FromSpec(&spec));
}

template <typename Record>
std::atomic<PyObject*>& class_slot() {
    static std::atomic<PyObject*> slot{nullptr};
    return slot;
}

template <typename Record>
PyObject* class_object() {
    return fill_once(class_slot<Record>(), &create_class<Record>);
}

}  // namespace

void forget_node_classes() noexcept {
    class_slot<ast::PathComponent>().store(nullptr);
    class_slot<ast::ObjectPath>().store(nullptr);
    class_slot<ast::Comparison>().store(nullptr);
    class_slot<ast::CompositeComparison>().store(nullptr);
    class_slot<ast::CompositePattern>().store(nullptr);
    class_slot<ast::QualifiedPattern>().store(nullptr);
}

PyObject* node_class(NodeClass which) {
    switch (which) {
        case NodeClass::PathComponent:
            return class_object<ast::PathComponent>();
        case NodeClass::ObjectPath:
            return class_object<ast::ObjectPath>();
        case NodeClass::Comparison:
            return class_object<ast::Comparison>();
        case NodeClass::CompositeComparison:
            return class_object<ast::CompositeComparison>();
        case NodeClass::CompositePattern:
            return class_object<ast::CompositePattern>();
        case NodeClass::QualifiedPattern:
            break;
    }
    return class_object<ast::QualifiedPattern>();
}

template <typename Record>
PyRef node_object(std::shared_ptr<const Record> record) {
    PyObject* const type = class_object<Record>();
    if (type == nullptr) {
        return {};
    }
    PyRef node = PyRef::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0));
    if (node) {
        std::construct_at(&reinterpret_cast<NodeObject<Record>*>(node.get())->record,
                          std::move(record));
    }
    return node;
}

template PyRef node_object(std::shared_ptr<const ast::PathComponent>);
template PyRef node_object(std::shared_ptr<const ast::ObjectPath>);
template PyRef node_object(std::shared_ptr<const ast::Comparison>);
template PyRef node_object(std::shared_ptr<const ast::CompositeComparison>);
template PyRef node_object(std::shared_ptr<const ast::CompositePattern>);
template PyRef node_object(std::shared_ptr<const ast::QualifiedPattern>);

}  // namespace quarnel::py
