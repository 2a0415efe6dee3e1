#include "toolkit_state.h"

int commonControlsReady = 0;
int frameClassCounter = 0;
int trayIconCounter = 0;
char positionTextBuffer[16] = {};
