#include "volume/AnalyzeVolume.h"
