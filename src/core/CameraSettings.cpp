#include "CameraSettings.h"
