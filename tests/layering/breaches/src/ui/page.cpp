#include <QtWidgets/QWidget>
#include "app/cli_output.h"
