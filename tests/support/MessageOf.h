// The message of the exception of class E that ACall raises, or a marker
// text when it raises nothing, so a test can compare messages in one line.
#pragma once

#include <string>

#include "core/Exceptions.h"

template <class E = Exception, class F>
std::string MessageOf(F&& ACall) {
    try {
        ACall();
    } catch (const E& Error) {
        return Error.Message();
    }
    return "(no exception)";
}
