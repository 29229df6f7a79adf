#include "globals.h"

bool languageCN = false;
