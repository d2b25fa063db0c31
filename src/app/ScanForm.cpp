#include "ScanForm.h"
