#include "object.hpp"

namespace ondalis {

PyMethodDef read_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
