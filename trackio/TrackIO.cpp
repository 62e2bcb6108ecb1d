#include "trackio/TrackIO.h"
