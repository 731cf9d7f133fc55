#include "ast/py_convert.hpp"

#include <atomic>
#include <variant>

// datetime.h defines a per-file API pointer that this file does not use: the pointer
// below is filled atomically instead, as free-threaded callers may race on first use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

#include "ast/py_nodes.hpp"

namespace quarnel::py {

namespace {

std::atomic<PyDateTime_CAPI*> datetime_interface{nullptr};

// The interpreter's datetime interface, imported on first use. Racing importers store
// the same pointer, so a plain atomic store suffices.
PyDateTime_CAPI* datetime_api() {
    PyDateTime_CAPI* current = datetime_interface.load(std::memory_order_acquire);
    if (current == nullptr) {
        current = static_cast<PyDateTime_CAPI*>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
        if (current != nullptr) {
            datetime_interface.store(current, std::memory_order_release);
        }
    }
    return current;
}

}  // namespace

void forget_datetime_api() noexcept {
    datetime_interface.store(nullptr);
}

PyRef pattern_to_pyobject(std::shared_ptr<const ast::PatternExpr> expr) {
    return std::visit(Overloaded{
                          [&](const ast::ComparisonExpr& observation) {
                              return comparison_expr_to_pyobject(share(std::move(expr), observation));
                          },
                          [&](const ast::CompositePattern& composite) {
                              return node_object(share(std::move(expr), composite));
                          },
                          [&](const ast::QualifiedPattern& qualified) {
                              return node_object(share(std::move(expr), qualified));
                          },
                      },
                      expr->value);
}

PyRef comparison_expr_to_pyobject(std::shared_ptr<const ast::ComparisonExpr> expr) {
    return std::visit([&](const auto& alternative) { return node_object(share(std::move(expr), alternative)); },
                      expr->value);
}

PyRef stix_value_to_pyobject(const ast::StixValue& value) {
    return std::visit(
        Overloaded{
            [](const ast::StixValue::String& string) { return text(string); },
            [](const ast::StixValue::Int& number) {
                return PyRef::steal(PyLong_FromLongLong(number));
            },
            [](const ast::StixValue::Float& number) {
                return PyRef::steal(PyFloat_FromDouble(number));
            },
            [](const ast::StixValue::Bool& flag) { return boolean(flag); },
            [](const ast::Timestamp& timestamp) { return datetime_to_pyobject(timestamp); },
            [](const ast::StixValue::Hex& hex) { return text(hex.text); },
            [](const ast::StixValue::Binary& binary) { return text(binary.text); },
        },
        value.value);
}

PyRef rhs_to_pyobject(const std::optional<ast::ComparisonRhs>& rhs) {
    if (!rhs) {
        return none();
    }
    return std::visit(Overloaded{
                          [](const ast::ComparisonRhs::Value& single) {
                              return stix_value_to_pyobject(single);
                          },
                          [](const ast::ComparisonRhs::List& list) {
                              return list_of(list, stix_value_to_pyobject);
                          },
                      },
                      rhs->value);
}

PyRef datetime_to_pyobject(const ast::Timestamp& timestamp) {
    PyDateTime_CAPI* const api = datetime_api();
    if (api == nullptr) {
        return {};
    }
    const int year = timestamp.date.year();
    const auto month = static_cast<int>(timestamp.date.month());
    const auto day = static_cast<int>(timestamp.date.day());
    const int seconds = timestamp.seconds_of_day;
    // A leap second's fraction of 1e9 ns or more gives a microsecond that datetime rejects.
    const auto microsecond = static_cast<int>(timestamp.nanoseconds / 1000);
    return PyRef::steal(api->DateTime_FromDateAndTime(year, month, day, seconds / 3600,
                                                      seconds / 60 % 60, seconds % 60,
                                                      microsecond, Py_None, api->DateTimeType));
}

}  // namespace quarnel::py
