#pragma once
// What both modes of lumetra-measure share in reading a command line: a bad input ends the
// run as a BadInput carrying its one stderr line, and options come as "--name",
// "--name=value" or "--name value".

#include <QString>
#include <QStringList>

#include <stdexcept>

namespace lumetra::tool {

// A bad input: its message is the one stderr line.
struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const QString& message);

struct CliOption {
    QString name;  // "--name"
    QString value; // given inline, or read by takeValue()
    bool inlineValue = false;
};

// An argument starting with "--", split at its first '=' (not at the very start).
CliOption splitOption(const QString& arg);
// A flag: "--name takes no value" when one was given inline.
void refuseValue(const CliOption& option);
// An option that needs a value: unless given inline, the argument after args[i] (i moves
// on to it); "--name needs a value" when there is none.
void takeValue(CliOption& option, const QStringList& args, int& i);

} // namespace lumetra::tool
