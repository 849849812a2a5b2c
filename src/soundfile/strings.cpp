#include "object.hpp"

namespace ondalis {

PyMethodDef strings_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
