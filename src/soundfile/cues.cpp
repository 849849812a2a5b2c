#include "object.hpp"

namespace ondalis {

PyMethodDef cues_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
