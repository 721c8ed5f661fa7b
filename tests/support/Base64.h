// Base64 decoding for checking what a peer echoed or recorded, written apart
// from the library's coder so a fault there cannot hide itself.
#pragma once

#include <string>

// The bytes of base64 text; characters outside the alphabet (padding, line
// breaks) are skipped.
std::string DecodeBase64(const std::string& AText);
