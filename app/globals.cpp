// The values shared by the window, the poll cycle and the exchange.
#include "app.h"
#include "shiftlink.h"

int32_t PortHandle = 0;
int32_t OutputByte = 0;
int32_t InputByte = 0;

HWND MainWindow = nullptr;
char PortMode[PortModeSize] = "";
