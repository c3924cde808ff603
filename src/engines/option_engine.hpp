// Binding-side adapter for kernels that know nothing of Python: the kernel's
// set_option(id, value) says whether the id is known, and the engine glue
// gets the Configured answer it expects.
#pragma once

#include <cstdint>

#include "module/engine.hpp"

namespace divavova {

template <class Kernel>
struct OptionEngine : Kernel {
    Configured configure(uint32_t option, double value) {
        return this->set_option(option, value) ? Configured::ok : Configured::unknown_option;
    }
};

}  // namespace divavova
