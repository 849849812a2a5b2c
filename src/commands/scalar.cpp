#include "../soundfile/object.hpp"

namespace ondalis {

PyMethodDef scalar_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
