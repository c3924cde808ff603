// Not built yet: the module frame leaves this component out until it lands.
#include "module/registry.hpp"

namespace divavova {

PyMethodDef oscillator_i32_method() { return kNoMethod; }
PyMethodDef oscillator_raw_i32_method() { return kNoMethod; }

}  // namespace divavova
