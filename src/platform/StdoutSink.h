// The process's standard output as the frame writer's sink.
#pragma once

#include "framing/ByteSink.h"

// Writes to standard output with write(2), whole, retrying after signals and
// short writes. False once the peer has closed its end (SIGPIPE is ignored
// by the host, so that shows as an error here). The object lives as long as
// the process: a writer thread may still be blocked in it while the process
// ends.
ByteSink& StandardOutputSink();
