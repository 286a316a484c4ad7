#pragma once

#include "cli/cliargs.h"

#include <QTextStream>

// Runs a parsed request: expands folder inputs, runs the batch, prints progress (on a terminal),
// one line per failure and the summary on the error stream. Returns the exit code: 0 when every
// input was written, 1 when any failed or was skipped, 2 when the run could not start.
int RunCli(const CliRequest& request, QTextStream& errors, bool errorsIsTerminal);

// The inputs of a request with folders expanded into their files and the --files-from list read.
// Sets error and returns nothing when that list cannot be read.
std::optional<QStringList> CollectInputs(const CliRequest& request, QTextStream& errors,
                                         QString& error);
