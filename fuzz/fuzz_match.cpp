// Fuzz target over the matcher: the input is a pattern and observed data, split at the
// first NUL byte (no NUL: the whole input is data for a fixed pattern). Beyond "does not
// crash, leak or hang", it checks that:
// - the strict JSON reader accepts whatever the fast reader accepts, with equal values;
// - a pattern never matches in strict mode where lenient mode finds no binding, and the
//   two agree when strict mode raised no value error;
// - two matches of the same pattern and data report the same binding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "match/json_reader.hpp"
#include "match/matcher.hpp"
#include "parser/builder.hpp"

namespace {

using namespace quarnel::match;

void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void check_readers(std::string_view data) {
    Store store;
    JsonReader reader;
    const auto fast = reader.read(store, data, 0, 64);
    const auto strict = read_json_strict(store, data, 1, 64);
    if (!fast && strict) fail("the strict reader refuses what the fast one read");
    if (!fast && !strict && !store.equal(store.inputs[0], store.inputs[1])) fail("the readers read different values");
    if (fast && fast->message.empty()) fail("empty load error message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    const std::size_t split = input.find('\0');
    const std::string_view pattern = split == std::string_view::npos ? "[a:x = 1] FOLLOWEDBY [b:y > 0]" : input.substr(0, split);
    const std::string_view data = split == std::string_view::npos ? input : input.substr(split + 1);
    check_readers(data);

    const auto tree = quarnel::parser::parse_pattern(pattern);
    if (!tree) return 0;
    const auto compiled = compile(tree.value());
    if (!compiled) {
        if (compiled.error().message.empty()) fail("empty compile error message");
        return 0;
    }
    const std::string_view texts[] = {data};
    const auto set = load(texts, LoadOptions{64});
    if (!set) return 0;
    MatchOptions strict;
    strict.max_search_steps = 20'000;
    strict.regex_match_limit = 100'000;
    MatchOptions lenient = strict;
    lenient.value_errors = ValueErrors::Lenient;
    const auto first = match(compiled.value(), set.value(), strict);
    const auto again = match(compiled.value(), set.value(), strict);
    const auto relaxed = match(compiled.value(), set.value(), lenient);
    if (first.ok() != again.ok()) fail("repeated match differs");
    if (first.ok() && first.value().binding != again.value().binding) fail("repeated match binds differently");
    if (first.ok() && relaxed.ok() && first.value().binding != relaxed.value().binding) {
        fail("strict and lenient differ without a value error");
    }
    return 0;
}
