// What a kernel's configure(option, value) reports to its binding.  Plain C++
// so Python-free kernels can return it.
#pragma once

namespace divavova {

enum class Configured { ok, unknown_option, no_memory };

}  // namespace divavova
