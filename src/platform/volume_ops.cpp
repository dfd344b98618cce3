#include "platform/volume_ops.h"

namespace qelvar::platform {

DiskGeometry GeometryForSize(uint64_t diskBytes, uint32_t bytesPerSector) {
  DiskGeometry g;
  g.tracksPerCylinder = kTracksPerCylinder;
  g.sectorsPerTrack = kSectorsPerTrack;
  g.bytesPerSector = bytesPerSector;
  g.diskBytes = diskBytes;
  uint64_t cylinderBytes = uint64_t{kTracksPerCylinder} * kSectorsPerTrack * bytesPerSector;
  g.cylinders = cylinderBytes == 0 ? 0 : diskBytes / cylinderBytes;
  return g;
}

}  // namespace qelvar::platform
