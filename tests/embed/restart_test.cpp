// Embeds the interpreter and restarts it around the module: each new interpreter must get a
// freshly initialised, working module, and within one interpreter a repeated
// initialisation returns the same module object.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

namespace {

// Run in every interpreter: the modules work, and importing it again (PyInit_quarnel
// runs again) gives the same module with the same classes.
constexpr const char* check = R"py(
import datetime, sys
import quarnel
node = quarnel.parse("[a:b = t'2020-01-01T00:00:00Z'] AND [c:d > 5] WITHIN 5 SECONDS")
assert type(node) is quarnel.CompositePattern, type(node)
assert type(node.left) is quarnel.Comparison
assert type(node.left.op) is quarnel.ComparisonOp and node.left.op == quarnel.ComparisonOp.EQ
assert node.op == quarnel.ObservationOp.AND
assert node.left.constant == datetime.datetime(2020, 1, 1)
assert type(node.left.constant) is datetime.datetime
assert repr(node.right) == "QualifiedPattern(repeat=None, within=Some(5.0), ...)"
try:
    quarnel.parse("[a:b = ]")
    raise AssertionError("accepted")
except ValueError as error:
    assert str(error).startswith("Grammar error: ")
first = quarnel
del sys.modules["quarnel"]
import quarnel
assert quarnel is first and quarnel.Comparison is first.Comparison
import quarnel_tools
assert quarnel_tools.canonical_text("[a:b=1]") == "[a:b = 1]"
assert quarnel_tools.is_valid_pattern("[a:b = 1]")
)py";

// The address of quarnel.<name> in the running interpreter, or 0.
std::uintptr_t address_of(const char* name) {
    PyObject* const module = PyImport_ImportModule("quarnel");
    if (module == nullptr) {
        return 0;
    }
    PyObject* const attribute = name == nullptr ? module : PyObject_GetAttrString(module, name);
    const auto address = reinterpret_cast<std::uintptr_t>(attribute);
    if (attribute != module) {
        Py_XDECREF(attribute);
    }
    Py_DECREF(module);
    return address;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MODULE_DIR\n", argv[0]);
        return 2;
    }
    std::string path = "import sys\nsys.path.insert(0, r\"\"\"";
    path.append(argv[1]).append("\"\"\")\n");
    // The old module and classes are never freed, so fresh ones lie at new addresses.
    std::set<std::uintptr_t> seen;
    constexpr int rounds = 3;
    for (int round = 1; round <= rounds; ++round) {
        Py_Initialize();
        bool ok = PyRun_SimpleString(path.c_str()) == 0 && PyRun_SimpleString(check) == 0;
        for (const char* name : {static_cast<const char*>(nullptr), "Comparison", "ComparisonOp"}) {
            const std::uintptr_t address = address_of(name);
            ok = ok && address != 0 && seen.insert(address).second;
        }
        if (Py_FinalizeEx() < 0 || !ok) {
            std::fprintf(stderr, "round %d of %d failed\n", round, rounds);
            return 1;
        }
    }
    std::printf("%d interpreters, each with a fresh working module\n", rounds);
    return 0;
}
