#include "store/msgtype.h"
