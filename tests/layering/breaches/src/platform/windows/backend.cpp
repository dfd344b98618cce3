#include <windows.h>
#include "platform/sim/sim_station.h"
#include <scsi/sg.h>
