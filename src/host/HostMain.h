// Process entry and the three run modes.
//
//   major version != 5            -> worker reading standard input
//   major version 5, argc < 2     -> worker reading the relay pipe
//   major version 5, argc >= 2    -> launcher: starts the worker, relays stdin
#pragma once

// Every executable's main calls this; the exit status is 0 on every way out.
int HostMain(int argc);

bool IsMajorVersion5();
// Runs the launcher until the worker has ended.
int RunLauncher();
// Runs the worker until its message loop ends; returns 0.
int RunWorker(bool relay);
