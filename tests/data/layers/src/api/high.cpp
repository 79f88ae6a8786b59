// The upper file: its include of the lower folder is allowed.
#include "api/api.h"
int high(void) { return 1; }
