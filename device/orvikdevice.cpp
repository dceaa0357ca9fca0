#include "orvikdevice.h"
// placeholder
