// Protocol helpers shared by the HTTP code: Internet dates and the MIME table.
#pragma once

#include "http/kbvIdGlobalProtocols_Dates.h"
#include "http/kbvIdGlobalProtocols_MIME.h"
