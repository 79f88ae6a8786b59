#include "base/base.h"
int high(void);
