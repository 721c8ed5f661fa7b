// Roots of the transport and protocol exceptions.
#pragma once

#include "core/Exceptions.h"

class EIdException : public Exception {
public:
    using Exception::Exception;
};

// The normal end of a conversation rather than a failure (a peer that closed).
class EIdSilentException : public EIdException {
public:
    using EIdException::EIdException;
};
