// The device link's reply reader: frame cutting, payload fields, log
// collection and re-entry from a receiver's nested event loop.
#include "fuzzmain.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzMain::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzMain::require(FuzzHarness::checkDeviceReply(data, size));
    return 0;
}
