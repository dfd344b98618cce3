#pragma once
#include "text/json_string.h"
#include "engine/station.h"
