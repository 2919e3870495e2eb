// What every native route keeps to, whatever the code it stands in for.
#pragma once

namespace vmrt {

// The margin kept below the thread's C recursion budget: the Python code a route stands
// in for takes a few levels of its own before its real work.
constexpr int recursion_margin = 50;

// A candidate that a route refused is looked at again once in this many calls: what made
// it fail (a patched method, say) may have been put back.
constexpr unsigned refused_retry_interval = 256;

// Nothing of a refused candidate but its identity.
struct NoLook {
    bool operator==(const NoLook&) const = default;
};

// The last candidate a route refused, and how it looked then (compared, never
// dereferenced): it stays refused without a fresh look while it looks the same, but for
// one call in refused_retry_interval.
template <class Look = NoLook>
class Refusal {
public:
    bool stands(const void* candidate, const Look& look) noexcept
    {
        return candidate == candidate_ && look == look_ && ++refusals_ % refused_retry_interval != 0;
    }
    void refuse(const void* candidate, const Look& look) noexcept
    {
        candidate_ = candidate;
        look_ = look;
    }
    // A candidate has passed.
    void lift() noexcept { *this = {}; }

private:
    const void* candidate_ = nullptr;
    Look look_{};
    unsigned refusals_ = 0;
};

}  // namespace vmrt
