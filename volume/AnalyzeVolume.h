// Analyze header/image pairs.
#ifndef FIBREJOIN_VOLUME_ANALYZEVOLUME_H
#define FIBREJOIN_VOLUME_ANALYZEVOLUME_H

#include "volume/VolumeReader.h"

class CAnalyzeVolume : public CVolumeReader {
  public:
    CAnalyzeVolume() {}
    ~CAnalyzeVolume() override {}
};

#endif  // FIBREJOIN_VOLUME_ANALYZEVOLUME_H
