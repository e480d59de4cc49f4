// ICC profiles built with Little CMS's own API, and its reference transform,
// for the colour tests.
#pragma once

#include <array>
#include <cstdint>

#include "fixtures.h"

namespace fixtures {

enum class Profile {
    kDisplayP3,  // the wide gamut of phones: P3 primaries, D65, the sRGB curve
    kAdobeRgb,   // cameras: Adobe RGB (1998) primaries, D65, gamma 563/256
    kSrgb,       // Little CMS's own sRGB
    kGrey,       // grey, gamma 1.0 (linear)
    kCmyk,       // an sRGB profile relabelled as CMYK: readable, but not RGB
};

// The profile as saved by Little CMS, with a description naming it; `pad`
// bytes of text in a characterization-target tag make it that much larger.
Bytes make_profile(Profile which, size_t pad = 0);

// A v4 RGB display profile whose D2B0 tag is a multi-process-element
// pipeline of 2 x pairs elements: an identity matrix alternating with a set of
// identity curves, every element pointing at the same two bodies (and the
// three curves at one), so each pair costs 16 bytes of the profile.
Bytes mpe_chain_profile(int pairs);

// rgba converted from profile to sRGB by Little CMS in double precision,
// unoptimised, perceptual intent, rounded; alpha as it was. For a grey
// profile every pixel's red value is the grey level.
Rgba reference_to_srgb(const Rgba& rgba, const Bytes& profile);

// The CIE76 colour difference of two sRGB colours (through CIELAB, D50).
double delta_e(std::array<uint8_t, 3> a, std::array<uint8_t, 3> b);

}  // namespace fixtures
