#include "Form1.h"
