#include "CaptureVersion.h"
