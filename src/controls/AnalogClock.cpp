#include "AnalogClock.h"
