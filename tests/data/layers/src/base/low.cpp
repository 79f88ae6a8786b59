// A lower file that reaches up: the layer check must refuse it.
#include "api/api.h"
int low(void) { return 0; }
