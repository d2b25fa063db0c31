#include "Action.h"
