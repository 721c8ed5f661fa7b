#include "core/Exceptions.h"

#include "core/Format.h"

void RaiseListIndexError(long long AIndex) {
    throw EListError(Format("List index out of bounds (%lld)", AIndex));
}
