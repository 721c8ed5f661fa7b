#include "httpapi/kbvIdLogFile.h"

#include <gtest/gtest.h>
