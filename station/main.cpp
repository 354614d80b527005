// l2station: the service station's tool to find, query, ping and reset l2agent boards.
#include "commands.h"

int main(int argc, char **argv) {
    return stationMain(argc, argv);
}
