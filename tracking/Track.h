// Fibre tracking through a tensor volume, and the geometry of finished tracks.
#ifndef FIBREJOIN_TRACKING_TRACK_H
#define FIBREJOIN_TRACKING_TRACK_H

class CTrack {
  public:
    CTrack() {}
    virtual ~CTrack() {}
};

#endif  // FIBREJOIN_TRACKING_TRACK_H
