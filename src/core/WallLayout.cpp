#include "WallLayout.h"
