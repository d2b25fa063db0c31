#include "RgnButton.h"
