#include "utils/MyUtils.h"
