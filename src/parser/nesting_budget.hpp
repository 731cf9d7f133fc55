// How deep input may nest on the calling thread. Each level of parentheses or brackets
// costs the grammar's recursion a stretch of stack, so a thread with a small stack
// (Python lets threads run on 32 KiB, and embedding programs make their own) gets fewer
// levels than the most that any thread gets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace quarnel::parser {

struct NestingBudget {
    std::size_t levels;  // the bound in force
    // A last guard: nesting stops before the stack pointer falls below this address,
    // should a level cost more than estimated. 0 where the stack is not known.
    std::uintptr_t stack_floor;
};

// At most `most_levels`; fewer where the stack left below the caller, less a reserve for
// the rest of the call, holds fewer.
NestingBudget nesting_budget(std::size_t most_levels);

// The budget of a parse that starts once `bytes` more of the calling thread's stack are
// taken, where that still leaves it `most_levels`; nothing where it does not, or where the
// stack is not known. The parse then need not look up the stack again.
std::optional<NestingBudget> full_budget_beside(std::size_t bytes, std::size_t most_levels);

// The current stack pointer, near enough.
inline std::uintptr_t stack_position() {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

}  // namespace quarnel::parser
