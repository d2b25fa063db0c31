#include "MoCatalog.h"
