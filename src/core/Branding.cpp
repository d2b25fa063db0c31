#include "Branding.h"
