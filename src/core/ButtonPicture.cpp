#include "ButtonPicture.h"
