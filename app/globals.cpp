#include "globals.h"

bool languageCN = false;
std::atomic<bool> g_bOpenCamera{false};
