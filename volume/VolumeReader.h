// Raw volume files: random access to the elements of a 3-D grid with caller-given geometry.
#ifndef FIBREJOIN_VOLUME_VOLUMEREADER_H
#define FIBREJOIN_VOLUME_VOLUMEREADER_H

class CVolumeReader {
  public:
    CVolumeReader() {}
    virtual ~CVolumeReader() {}
};

#endif  // FIBREJOIN_VOLUME_VOLUMEREADER_H
