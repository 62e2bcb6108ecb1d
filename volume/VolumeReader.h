// Raw volume files: random access to the elements of a 3-D grid whose geometry the caller states.
//
// A file holds one or more frames (3-D volumes of the same grid) of fixed-size elements behind an
// optional prefix of dataOffset bytes. Three layouts are understood: frame after frame (x fastest,
// then y, then z), mosaic frames (each slice a tile of an m x m grid of tiles, so a frame is one
// 2-D image) and voxel-interleaved (the frames of one voxel next to each other).
//
// CVolumeReader owns its open stream and, in memory mode, a copy of every frame taken at Open;
// both are released by Close, by the next Open and by the destructor. Destinations of reads are
// owned by the caller and must hold what the read delivers. The static WriteRaw/ReadRaw move
// whole buffers to and from raw files and keep no state. Nothing throws; failures show in the
// result only (the positioned ReadRaw alone prints " failed ").
#ifndef FIBREJOIN_VOLUME_VOLUMEREADER_H
#define FIBREJOIN_VOLUME_VOLUMEREADER_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

class CVolumeReader {
  public:
    CVolumeReader();
    virtual ~CVolumeReader();
    CVolumeReader(const CVolumeReader&) = delete;
    CVolumeReader& operator=(const CVolumeReader&) = delete;

    // Attaches the file with the given geometry; the elements start at byte 0. A mosaic factor
    // below 2 means plain slice order. With inMemory non-zero every frame is loaded now (when the
    // memory for it can be had) and reads become memory copies. False when the file cannot be
    // opened, is shorter than the geometry needs, or the geometry itself is unusable (negative
    // counts, an element size below 1, or elements per frame beyond 32 bits).
    bool Open(const char* path, int dimX, int dimY, int dimZ, int mosaic, int frameCount,
              int elementSize, int interleaved, int inMemory);
    // As above with the dimensions in dims[0..2] and the elements starting at dataOffset.
    bool Open(const char* path, const int* dims, int mosaic, int frameCount, int elementSize,
              int interleaved, int inMemory, int64_t dataOffset);

    // Byte position of element (x, y, z) of frame t, or -1 where the element index needs more
    // than the 32 bits the addressing is defined for.
    int64_t GetOffset(int x, int y, int z, int t) const;
    // Copies count bytes starting at the absolute file position; non-zero on success. Fails on a
    // reader without a readable volume and, in memory mode, for bytes outside the loaded frames.
    int ReadData(void* destination, int64_t position, int64_t count);

    // Frame t, dimX * dimY * dimZ elements in x-fastest order whatever the layout. On failure
    // the destination keeps the elements before the first one that could not be read.
    bool Read(void* destination, int t);
    // All frames of voxel (x, y, z), frameCount elements in frame order.
    bool Read(void* destination, int x, int y, int z);
    bool Read(void* destination, const int* coordinates);
    // One element.
    bool Read(void* destination, int x, int y, int z, int t);
    bool Read(void* destination, const int* coordinates, int t);

    // Releases the stream and the loaded frames; false only when closing the stream failed.
    // The geometry stays as it was.
    bool Close();

    // Write count elements to a created or truncated file; 1 when at least one byte was written.
    static int WriteRaw(const char* path, const float* data, int64_t count);
    static int WriteRaw(const char* path, const int* data, int64_t count);
    static int WriteRaw(const char* path, const short* data, int64_t count);
    static int WriteRaw(const char* path, const unsigned char* data, int64_t count);
    // Read count elements from the start of the file; 1 when at least one byte was read. The
    // destination beyond the bytes read keeps its content.
    static int ReadRaw(const char* path, float* data, int64_t count);
    static int ReadRaw(const char* path, int* data, int64_t count);
    static int ReadRaw(const char* path, short* data, int64_t count);
    // Reads count bytes from the byte position; prints " failed " when the file opened but not
    // a single byte could be read there.
    static int ReadRaw(const char* path, unsigned char* data, int64_t count, int64_t position);
    // The positioned ReadRaw, telling how many bytes it read (0 also when the file cannot be
    // opened), for callers that clear only what was not read.
    static int64_t ReadRawBytes(const char* path, unsigned char* data, int64_t count,
                                int64_t position);

  protected:
    FILE* file;
    int dimX, dimY, dimZ;
    int frameCount;
    int elementSize;
    int mosaic;
    int64_t frameVoxels;  // elements per frame: the distance between frames
    int64_t dataOffset;
    std::unique_ptr<unsigned char[]> cache;  // every frame, from dataOffset on, in memory mode
    int inMemory;
    int interleaved;

  private:
    // Position of element (x, y, z, t); false where the index leaves the 32-bit range or the
    // byte position the 64-bit one.
    bool ElementPosition(int x, int y, int z, int t, int64_t& position) const;
    // Reads a contiguous run of whole elements. In memory mode a run reaching out of the cache
    // still copies the elements inside it before failing, as element-by-element reads would.
    bool ReadRun(unsigned char* destination, int64_t position, int64_t bytes);
    // File mode: reads the dimX elements of a row, `stride` bytes apart from `first`, with one
    // read of their span into the scratch buffer `span`.
    bool ReadSpacedRow(unsigned char* destination, int64_t first, int64_t stride,
                       std::vector<unsigned char>& span);

    int64_t cacheBytes;  // size of `cache`: every frame
    bool hasVolume;      // set by a successful Open, cleared by Close and at the start of Open
};

#endif  // FIBREJOIN_VOLUME_VOLUMEREADER_H
