#include "Nbt.h"
