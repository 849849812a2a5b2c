#include "../module/catalogue.hpp"

namespace ondalis {

PyMethodDef checker_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace ondalis
