#include "../soundfile/object.hpp"

namespace ondalis {

PyMethodDef channel_map_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
