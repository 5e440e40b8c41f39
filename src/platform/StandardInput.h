// Standard input for the reader thread, and reading byte streams by their C
// runtime descriptor.
#pragma once

#include <cstddef>
#include <cstdint>

// Readies standard input: binary mode where the runtime translates (every
// byte arrives as sent: no CR LF translation, no end at 0x1A) and the wake-up
// that lets CloseInputStream end a blocked read. Once, before the reader
// thread starts.
void PrepareInputStream();
// The descriptor that becomes readable once CloseInputStream has run, or
// -1 where there is none.
int InputWakeFd();
// Closes standard input so that the reader finds no more input, without
// waiting for a read in progress: the next read ends the reader. Where a
// blocked read can be woken (here: the wake-up descriptor), it ends at once;
// on Windows a read already blocked stays blocked until the process ends.
void CloseInputStream();
// Waits until fd has bytes (or wakeFd, when not -1, becomes readable), then
// reads what is there, at most size bytes. The number of bytes read; 0 at
// end of input, on an error that will not go away, or once woken or closed.
size_t ReadInput(int fd, int wakeFd, uint8_t* buffer, size_t size);
