#include <windows.h>
#include "platform/sim/sim_station.h"
