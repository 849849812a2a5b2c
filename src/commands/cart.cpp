#include "../soundfile/object.hpp"

namespace ondalis {

PyMethodDef cart_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
