// The command line as tintorel-cli parses it: the input is split at its NUL bytes into arguments,
// each decoded from the system's encoding as Qt decodes a program's arguments. Arguments are
// either taken, with no reason given, or refused with a reason.
#include "cli/cliargs.h"
#include "fuzz/fuzzentry.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    startFuzzApplication(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QStringList arguments;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& argument : bytes.split('\0'))
        arguments << QString::fromLocal8Bit(argument);
    QString error;
    const std::optional<CliRequest> request = ParseArguments(arguments, error);
    if (request.has_value() == !error.isEmpty())
        fuzzPropertyFailed("arguments are refused exactly when a reason is given");
    return 0;
}
