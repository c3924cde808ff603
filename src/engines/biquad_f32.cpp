// Not built yet: the module frame leaves this component out until it lands.
#include "module/registry.hpp"

namespace divavova {

PyType_Spec* biquad_f32_spec() { return nullptr; }

}  // namespace divavova
