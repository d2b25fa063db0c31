#include "Translator.h"
