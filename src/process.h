// What the agent does about its descriptors, the processes it starts and the signals it gets:
// standard input, output and error are always open, children see only those three, a dead log
// reader does not kill the agent, and a command that never ends cannot hold up start-up.
#pragma once

#include <QByteArray>

// Opens /dev/null on any of descriptors 0 to 2 that is closed. Started with them closed, the
// agent's first socket would become standard error, and every log line would go on the wire.
// Call it before anything opens a descriptor.
void guardStandardDescriptors();

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
// The first `cap` bytes of the file at `path`, read by a child within `timeoutMs`: a file whose
// read blocks (a FIFO, /proc/kmsg) gives what came in time. False when no child could be made;
// a file that cannot be opened reads as no bytes.
bool readFileBounded(const char *path, int timeoutMs, int cap, QByteArray *output);
