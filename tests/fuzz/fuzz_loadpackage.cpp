// The package loader on arbitrary archive bytes.
#include "fuzzharness.h"

ORVIK_FUZZ_TARGET(checkLoadPackage)
