// The built-in station. examples/station/sim-default.ini holds the same text
// (a test keeps the two equal).
#include "platform/sim/station_config.h"

namespace qelvar::platform::sim {

std::string_view DefaultStationText() {
  static constexpr std::string_view kText =
      R"INI(; The built-in simulated station, used when no station file is given:
; 16 healthy drives on two 8-port hubs. Every drive passes a full MP run.
; Geometry, flash IDs, bad blocks and RDT entries vary from drive to drive.
; The keys are described in examples/README.md.

[Station]
Hubs = 2
HubPorts = 8

[Drive0]
Hub = 0
HubPort = 1
Model = QELVAR SIM SSD 128G
Serial = QSIM0000000000000000
Sectors = 250069680
Channels = 2
CEs = 2
Luns = 1
Planes = 2
BitmapBytes = 2048
FactoryBad = 3
RuntimeBad = 1
RdtResult = PASS
RdtEntries = 0
Bin = 1

[Drive1]
Hub = 0
HubPort = 2
Model = QELVAR SIM SSD 256G
Serial = QSIM0000000000000001
Sectors = 500118192
Channels = 2
CEs = 4
Luns = 1
Planes = 2
BitmapBytes = 4096
FactoryBad = 5
RuntimeBad = 2
RdtResult = PASS
RdtEntries = 2
Bin = 1

[Drive2]
Hub = 0
HubPort = 3
Model = QELVAR SIM SSD 512G
Serial = QSIM0000000000000002
Sectors = 1000215216
Channels = 1
CEs = 2
Luns = 1
Planes = 4
BitmapBytes = 2048
FactoryBad = 2
RuntimeBad = 0
RdtResult = PASS
RdtEntries = 0
Bin = 1

[Drive3]
Hub = 0
HubPort = 4
Model = QELVAR SIM SSD 1T
Serial = QSIM0000000000000003
Sectors = 1953525168
Channels = 2
CEs = 4
Luns = 2
Planes = 2
BitmapBytes = 8192
FactoryBad = 4
RuntimeBad = 1
RdtResult = PASS
RdtEntries = 3
Bin = 1

[Drive4]
Hub = 0
HubPort = 5
Model = QELVAR SIM SSD 128G
Serial = QSIM0000000000000004
Sectors = 250069680
Channels = 2
CEs = 1
Luns = 1
Planes = 2
BitmapBytes = 1024
FactoryBad = 1
RuntimeBad = 1
RdtResult = PASS
RdtEntries = 0
Bin = 1

[Drive5]
Hub = 0
HubPort = 6
Model = QELVAR SIM SSD 256G
Serial = QSIM0000000000000005
Sectors = 500118192
Channels = 1
CEs = 4
Luns = 1
Planes = 2
BitmapBytes = 2048
FactoryBad = 6
RuntimeBad = 0
RdtResult = PASS
RdtEntries = 1
Bin = 1

[Drive6]
Hub = 0
HubPort = 7
Model = QELVAR SIM SSD 512G
Serial = QSIM0000000000000006
Sectors = 1000215216
Channels = 2
CEs = 2
Luns = 2
Planes = 4
BitmapBytes = 8192
FactoryBad = 2
RuntimeBad = 2
RdtResult = PASS
RdtEntries = 0
Bin = 1

[Drive7]
Hub = 0
HubPort = 8
Model = QELVAR SIM SSD 1T
Serial = QSIM0000000000000007
Sectors = 1953525168
Channels = 2
CEs = 4
Luns = 1
Planes = 4
BitmapBytes = 8192
FactoryBad = 3
RuntimeBad = 0
RdtResult = PASS
RdtEntries = 2
Bin = 1

[Drive8]
Hub = 1
HubPort = 1
Model = QELVAR SIM SSD 128G
Serial = QSIM0000000000000008
Sectors = 250069680
Channels = 2
CEs = 2
Luns = 1
Planes = 2
BitmapBytes = 2048
FactoryBad = 0
RuntimeBad = 1
RdtResult = PASS
RdtEntries = 0
Bin = 1

[Drive9]
Hub = 1
HubPort = 2
Model = QELVAR SIM SSD 256G
Serial = QSIM0000000000000009
Sectors = 500118192
Channels = 2
CEs = 4
Luns = 1
Planes = 2
BitmapBytes = 4096
FactoryBad = 2
RuntimeBad = 3
RdtResult = PASS
RdtEntries = 1
Bin = 1

[Drive10]
Hub = 1
HubPort = 3
Model = QELVAR SIM SSD 512G
Serial = QSIM0000000000000010
Sectors = 1000215216
Channels = 1
CEs = 1
Luns = 1
Planes = 2
BitmapBytes = 512
FactoryBad = 1
RuntimeBad = 0
RdtResult = PASS
RdtEntries = 0
Bin = 1

[Drive11]
Hub = 1
HubPort = 4
Model = QELVAR SIM SSD 1T
Serial = QSIM0000000000000011
Sectors = 1953525168
Channels = 2
CEs = 2
Luns = 1
Planes = 4
BitmapBytes = 4096
FactoryBad = 4
RuntimeBad = 2
RdtResult = PASS
RdtEntries = 0
Bin = 1

[Drive12]
Hub = 1
HubPort = 5
Model = QELVAR SIM SSD 128G
Serial = QSIM0000000000000012
Sectors = 250069680
Channels = 1
CEs = 2
Luns = 2
Planes = 2
BitmapBytes = 2048
FactoryBad = 3
RuntimeBad = 1
RdtResult = PASS
RdtEntries = 2
Bin = 1

[Drive13]
Hub = 1
HubPort = 6
Model = QELVAR SIM SSD 256G
Serial = QSIM0000000000000013
Sectors = 500118192
Channels = 2
CEs = 4
Luns = 1
Planes = 2
BitmapBytes = 4096
FactoryBad = 1
RuntimeBad = 1
RdtResult = PASS
RdtEntries = 0
Bin = 1

[Drive14]
Hub = 1
HubPort = 7
Model = QELVAR SIM SSD 512G
Serial = QSIM0000000000000014
Sectors = 1000215216
Channels = 2
CEs = 1
Luns = 2
Planes = 2
BitmapBytes = 2048
FactoryBad = 2
RuntimeBad = 0
RdtResult = PASS
RdtEntries = 1
Bin = 1

[Drive15]
Hub = 1
HubPort = 8
Model = QELVAR SIM SSD 1T
Serial = QSIM0000000000000015
Sectors = 1953525168
Channels = 2
CEs = 2
Luns = 1
Planes = 2
BitmapBytes = 2048
FactoryBad = 5
RuntimeBad = 2
RdtResult = PASS
RdtEntries = 0
Bin = 1
)INI";
  return kText;
}

}  // namespace qelvar::platform::sim
