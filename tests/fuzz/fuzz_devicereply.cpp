// The device link's reply reader: frames, payload fields, logs and re-entry from a receiver's nested event loop.
#include "fuzzharness.h"

ORVIK_FUZZ_TARGET(checkDeviceReply)
