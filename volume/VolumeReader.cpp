#include "volume/VolumeReader.h"
