#include "httpapi/kbvIdLogFile.h"
