#include "object.hpp"

namespace ondalis {

PyMethodDef write_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
