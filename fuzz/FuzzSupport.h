// What the fuzz targets share.
#pragma once

#include "core/Exceptions.h"

// Runs ABody; the library's own exceptions are expected answers to bad
// input, anything else (a crash, a sanitizer report) is a finding.
template <class F>
void Try(F&& ABody) {
    try {
        ABody();
    } catch (const Exception&) {
    }
}
