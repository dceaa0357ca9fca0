// The DFU reply reader: SLIP unescaping, acknowledgement judging and the stop-and-wait state around it.
#include "fuzzharness.h"

ORVIK_FUZZ_TARGET(checkDfuReply)
