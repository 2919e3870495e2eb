// What every native route keeps to, whatever the code it stands in for.
#pragma once

namespace vmrt {

// The margin kept below the thread's C recursion budget: the Python code a route stands
// in for takes a few levels of its own before its real work.
constexpr int recursion_margin = 50;

// A candidate that a route refused is looked at again once in this many calls: what made
// it fail (a patched method, say) may have been put back.
constexpr unsigned refused_retry_interval = 256;

}  // namespace vmrt
