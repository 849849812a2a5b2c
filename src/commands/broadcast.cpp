#include "../soundfile/object.hpp"

namespace ondalis {

PyMethodDef broadcast_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
