#include "Camera.h"
