#pragma once

#include <QString>

#include <span>

// One option of tintorel-cli as --help shows it. The manual page and the shell completion name the
// same options with the same descriptions.
struct CliOption {
    const char* name;  // without the leading "--"
    const char* value; // what its value is called in --help; nullptr for an option without one
    const char* help;  // the description, in lines of --help
};

// Every option, in the order --help lists them.
std::span<const CliOption> CliOptions();

// The option of that name (without "--"), or nullptr.
const CliOption* FindCliOption(const QString& name);

QString UsageText();
