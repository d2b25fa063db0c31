#include "NetBios.h"
