#include "../soundfile/object.hpp"

namespace ondalis {

PyMethodDef cue_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
