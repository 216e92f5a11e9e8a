// The stand-in transport's stop signals (SIGTERM unless told to ignore it,
// and SIGINT) arrive on a signalfd, so that the poll loops see them as one
// more readable descriptor instead of an interruption.
#pragma once

namespace VelkStandin {

// Blocks the stop signals and returns the signalfd that reports them; throws on failure.
int openStopSignals(bool ignoreTerm);

// Reads one pending stop signal from the signalfd and returns its number.
int readStopSignal(int stopFd);

// Waits for the next stop signal and returns its number.
int waitForStopSignal(int stopFd);

}  // namespace VelkStandin
