#include "object.hpp"

namespace ondalis {

PyMethodDef position_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
