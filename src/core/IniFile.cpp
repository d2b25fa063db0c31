#include "IniFile.h"
