#include "../soundfile/object.hpp"

namespace ondalis {

PyMethodDef command_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
