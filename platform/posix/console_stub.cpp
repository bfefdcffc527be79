// Placeholder until the console lands.
#include "platform/winapi.h"
int _kbhit(void) { return 0; }
int _getch(void) { return 0; }
