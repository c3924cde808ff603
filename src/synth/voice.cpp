// Not built yet: the module frame leaves this component out until it lands.
#include "module/registry.hpp"

namespace divavova {

PyMethodDef ring_multiply_i32_method() { return kNoMethod; }
PyMethodDef apply_loudness_i32_method() { return kNoMethod; }
PyMethodDef mixdown_i32_method() { return kNoMethod; }
PyMethodDef pitch_bend_method() { return kNoMethod; }

}  // namespace divavova
