// l2station's commands.
#pragma once

int stationMain(int argc, char **argv);
