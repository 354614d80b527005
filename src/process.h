// What the agent does about the processes it starts and the signals it gets: children see
// only standard input, output and error, a dead log reader does not kill the agent, and a
// command that never ends cannot hold up start-up.
#pragma once

#include <QByteArray>

// SIGPIPE does nothing to the agent: a line that cannot be written is lost. It is caught by an
// empty handler rather than ignored, because exec resets handlers but keeps ignored signals,
// and the reset script and blkid should see the default.
void ignoreSigpipe();

// Marks every descriptor above standard error close-on-exec, so that no child inherits the
// capture's socket, libpcap's eventfd or a udev or netlink socket.
void closeOnExecAboveStderr();

// Runs COMMAND through /bin/sh with its standard output on a pipe and collects at most
// `cap` bytes of it. The command is ended (its whole process group) once `timeoutMs` have
// passed or `cap` bytes were read; what was read by then is kept. False when the pipe or the
// process could not be made.
bool readCommandOutput(const char *command, int timeoutMs, int cap, QByteArray *output);
