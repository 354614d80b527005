// Everything of l2station that the CLI and the window share, by job: the command line
// (options.h), boards and how they are shown (boards.h), ping (ping.h), the segment's interface
// (interfaces.h), and boards followed across rounds (fleet.h). Sources include what they use.
#pragma once

#include "boards.h"
#include "fleet.h"
#include "interfaces.h"
#include "options.h"
#include "ping.h"
