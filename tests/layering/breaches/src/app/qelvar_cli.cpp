#include <QApplication>
#include <windows.h>
