#include "WallSettings.h"
