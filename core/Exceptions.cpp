#include "core/Exceptions.h"

#include <cstring>

#include "core/Format.h"

void RaiseListIndexError(long long AIndex) {
    throw EListError(Format("List index out of bounds (%lld)", AIndex));
}

std::string SystemErrorText(int AError) {
    char Buffer[256];
    return strerror_r(AError, Buffer, sizeof Buffer);  // the GNU variant returns the text
}
