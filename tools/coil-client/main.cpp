// coil-client: registers, starts, stops and removes loop-detection services
// of coild as another daemon of the switch would, and watches their reports.
#include "coil_client_tool.h"

int main(int argc, char** argv) { return coilclient::runCommand(coilclient::parseCommandLine(argc, argv)); }
