#include "JpegImage.h"
