#pragma once

namespace brindlet::app {

// Points the process's log where its surroundings say it is read: the journal for an app
// started at login or by systemd, standard error in a terminal, both with --log-both; and sets
// the thresholds BRINDLET_LOG asks for (info lines and up without it).
void attachLogSinks(int argc, char** argv);

}  // namespace brindlet::app
