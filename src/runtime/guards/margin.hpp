// The C recursion levels a native route keeps below the thread's budget, as the Python
// code it stands in for takes a few of its own before its real work.
#pragma once

namespace vmrt {

// The margin kept below the thread's C recursion budget: the stdlib's call chain itself
// takes a few levels before the first container.
constexpr int recursion_margin = 50;

}  // namespace vmrt
