#include "../soundfile/object.hpp"

namespace ondalis {

PyMethodDef struct_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
