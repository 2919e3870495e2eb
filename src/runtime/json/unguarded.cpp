// For a build of the decoder alone, without the routes that stand in for json.loads: with
// no route captured, the decoder's result always stands.
#include "../observed.hpp"

namespace vmrt {

bool json_decode_still_unobserved(PyObject*, bool) noexcept
{
    return true;
}

}  // namespace vmrt
