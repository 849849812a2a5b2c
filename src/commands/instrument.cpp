#include "../soundfile/object.hpp"

namespace ondalis {

PyMethodDef instrument_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
