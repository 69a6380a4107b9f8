#include "CliArgs.h"

namespace lumetra::tool {

void fail(const QString& message) {
    throw BadInput(message.toStdString());
}

CliOption splitOption(const QString& arg) {
    CliOption o;
    o.name = arg;
    const int eq = arg.indexOf(QLatin1Char('='));
    if (eq > 0) {
        o.value = arg.mid(eq + 1);
        o.name = arg.left(eq);
        o.inlineValue = true;
    }
    return o;
}

void refuseValue(const CliOption& option) {
    if (option.inlineValue)
        fail(QStringLiteral("%1 takes no value").arg(option.name));
}

void takeValue(CliOption& option, const QStringList& args, int& i) {
    if (option.inlineValue)
        return;
    if (i + 1 >= args.size())
        fail(QStringLiteral("%1 needs a value").arg(option.name));
    option.value = args[++i];
}

} // namespace lumetra::tool
