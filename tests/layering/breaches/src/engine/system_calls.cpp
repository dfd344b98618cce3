// #include <unistd.h> in a comment is no include
#include <vector>
#include <sys/stat.h>
#  include <csignal>
#if defined(_WIN32) || defined(__linux__)
#endif
#ifndef _WIN32
#endif
