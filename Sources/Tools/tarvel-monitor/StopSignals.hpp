#pragma once

// SIGINT and SIGTERM handling for the monitor's long-running modes: the signals are blocked in
// every thread (call block() before starting any) and collected synchronously by wait().
namespace tarvel::Monitor::StopSignals {

// Blocks SIGINT and SIGTERM for the calling thread and the threads it starts later, and ignores
// SIGPIPE so that a closed standard output does not end the process.
void block();

// Waits until SIGINT or SIGTERM arrives; returns the signal number.
int wait();

}  // namespace tarvel::Monitor::StopSignals
