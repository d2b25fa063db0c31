#include "Artwork.h"
