// What each component hands to the module frame.  Every accessor is defined
// in its component's own file; a component that is not built yet returns an
// empty row (name nullptr) or a null spec, and the frame leaves it out.
#pragma once

#include "module/python.hpp"

namespace divavova {

// Module functions, one row each (METH_VARARGS, positional only).
PyMethodDef mix_s16_method();             // utilities/mix.cpp
PyMethodDef remix_s16_method();           // utilities/mix.cpp
PyMethodDef multiply_s16_method();        // utilities/multiply.cpp
PyMethodDef midside_s16_method();         // utilities/multiply.cpp
PyMethodDef oscillator_i32_method();      // synth/oscillator.cpp
PyMethodDef oscillator_raw_i32_method();  // synth/oscillator.cpp
PyMethodDef ring_multiply_i32_method();   // synth/voice.cpp
PyMethodDef apply_loudness_i32_method();  // synth/voice.cpp
PyMethodDef mixdown_i32_method();         // synth/voice.cpp
PyMethodDef pitch_bend_method();          // synth/voice.cpp
PyMethodDef distortion_s16_method();      // effects/distortion.cpp
PyMethodDef echo_s16_method();            // effects/echo.cpp
PyMethodDef phaser_s16_method();          // effects/phaser.cpp
PyMethodDef chorus_s16_method();          // effects/chorus.cpp
PyMethodDef multitap_s16_method();        // effects/multitap.cpp
PyMethodDef pitchshift_s16_method();      // effects/pitchshift.cpp
PyMethodDef freeverb_s16_method();        // effects/freeverb.cpp

// Type specifications.
PyType_Spec* buffer_owner_spec();         // sources/buffer_owner.cpp
PyType_Spec* raw_sample_spec();           // sources/raw_sample.cpp
PyType_Spec* envelope_spec();             // synth/envelope.cpp
PyType_Spec* biquad_spec();               // synth/biquad.cpp
PyType_Spec* dynamics_spec();             // engines/dynamics.cpp
PyType_Spec* splitter_ring_spec();        // engines/splitter.cpp
PyType_Spec* feedback_delay_spec();       // engines/feedback_delay.cpp
PyType_Spec* waveshaper_spec();           // engines/waveshaper.cpp
PyType_Spec* sample_hold_spec();          // engines/sample_hold.cpp
PyType_Spec* ladder_spec();               // engines/ladder.cpp
PyType_Spec* biquad_f32_spec();           // engines/biquad_f32.cpp
PyType_Spec* allpass_f32_spec();          // engines/allpass_f32.cpp
PyType_Spec* suboctave_spec();            // engines/suboctave.cpp
PyType_Spec* convolver_spec();            // reverb/convolver.cpp
PyType_Spec* tank_spec();                 // reverb/tank.cpp
PyType_Spec* modal_spec();                // reverb/modal.cpp

// Constructor calls of types that take a fast path for the common call
// (installed as the type's vectorcall).
vectorcallfunc buffer_owner_call();       // sources/buffer_owner.cpp

// The row of a component that is not built yet.
constexpr PyMethodDef kNoMethod = {nullptr, nullptr, 0, nullptr};

}  // namespace divavova
