// Bodies to send whose damage shows: a lost, doubled or moved block.
#pragma once

#include <cstddef>
#include <string>

// ASize bytes of a xorshift sequence, which repeat nowhere within a few MiB.
std::string Noise(size_t ASize);
