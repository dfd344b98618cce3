#include <unistd.h>
#include "platform/files.h"
#include "platform/windows/win32_api.h"
#ifdef _WIN32
#endif
