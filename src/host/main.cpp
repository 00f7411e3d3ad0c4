// nolvane_service: runs only as a Windows service; it takes no arguments.
#include "host/service_program.h"

int main() { return ostrel::run_service_program(); }
