// The DFU reply reader: SLIP unescaping, acknowledgement judging and the
// stop-and-wait state around it.
#include "fuzzmain.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzMain::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzMain::require(FuzzHarness::checkDfuReply(data, size));
    return 0;
}
