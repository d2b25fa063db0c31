#include "ClockGeometry.h"
