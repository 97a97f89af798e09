// Console keys of the tests (see console_keys.h).
#include "console_keys.h"

#include <signal.h>

void PressCtrlC() { ::raise(SIGINT); }
