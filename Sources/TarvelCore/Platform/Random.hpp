#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Secrets nobody can predict, from the kernel's random source (getrandom), never from a seeded
// generator. Pure functions.
namespace tarvel::Random {

// `count` random bytes as 2 x `count` lower-case hexadecimal digits; absent when the kernel
// gives none (it blocks only until its pool is first seeded, early at boot).
std::optional<std::string> hexadecimal(std::size_t count);

}  // namespace tarvel::Random
