// The device link's reply reader: frame cutting, payload fields, log
// collection and re-entry from a receiver's nested event loop.
#include "fuzzharness.h"

ORVIK_FUZZ_TARGET(checkDeviceReply)
