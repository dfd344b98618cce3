#include <QApplication>
#include "ui/main_window.h"
