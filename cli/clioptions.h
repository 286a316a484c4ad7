#pragma once

#include <QString>

#include <span>

struct CliRequest;

// What an option does with its value (the empty text for an option without one): sets what it
// names in the request, and returns why the value is refused, or the empty text when it is taken.
using CliSetter = QString (*)(CliRequest& request, const QString& value);

// One option of tintorel-cli: the one row that parsing, --help, the manual page's check and the
// completion's check all read. The rows are in cliargs.cpp, beside the setters they name.
struct CliOption {
    const char* name;  // without the leading "--"
    const char* value; // what its value is called in --help; nullptr for an option without one
    const char* help;  // the description, in lines of --help
    CliSetter set;
};

// Every option, in the order --help lists them.
std::span<const CliOption> CliOptions();

// The option of that name (without "--"), or nullptr.
const CliOption* FindCliOption(const QString& name);

QString UsageText();
