#include "ClockTimer.h"
