#pragma once

#include "cli/cliargs.h"
#include "cli/cliinputs.h"

#include <QTextStream>

// Runs a parsed request: expands folder inputs, runs the batch, prints progress (on a terminal),
// one line per failure and the summary on the error stream. Returns the exit code: 0 when every
// input was written or up to date, 1 when any failed or was skipped, 2 when the run could not
// start. A missing output folder is made first.
int RunCli(const CliRequest& request, QTextStream& errors, bool errorsIsTerminal);
