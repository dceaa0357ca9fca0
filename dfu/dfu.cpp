#include "dfu.h"
// placeholder
