// What a kernel's configure(option, value) reports to its binding.  Plain C++
// so Python-free kernels can return it.
#pragma once

namespace divavova {

enum class Configured { ok, unknown_option, no_memory };

// The whole-frames message the s16 engines share.
inline constexpr const char* kWholeS16FramesMessage =
    "input must be whole 16-bit frames for the configured channel count";

}  // namespace divavova
