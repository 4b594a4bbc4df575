// The device table. See device.h.
#include "devices/device.h"

std::vector<device> devices;
