#include "tracking/Track.h"
