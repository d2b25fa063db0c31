#include "ShutdownSignals.h"
