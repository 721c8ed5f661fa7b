// Whole files as text, for comparing what was received with what was sent.
#pragma once

#include <string>

// The bytes of the file at APath; empty when it cannot be read.
std::string FileText(const std::string& APath);
