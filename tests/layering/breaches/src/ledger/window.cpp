#include <QString>
#include "ui/main_window.h"
