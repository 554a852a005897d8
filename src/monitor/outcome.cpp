#include "outcome.h"

using Ostrel::describeSignal;

namespace {

Outcome decide(const SessionFacts &facts)
{
    if (facts.interruptedBy)
        return {ExitSignalBase + facts.interruptedBy, QStringLiteral("interrupted by ") + describeSignal(facts.interruptedBy)};
    if (!facts.protocolError.isEmpty())
        return {ExitProtocolError, QStringLiteral("protocol error at ") + facts.protocolError};
    if (facts.timedOut)
        return {ExitNoConnection, QStringLiteral("no installer connected within %1 s").arg(facts.timeoutSeconds)};
    if (facts.command && !facts.command->succeeded())
        return {ExitCommandFailed, facts.installerReason.isEmpty() ? facts.command->describe() : facts.installerReason};
    if (facts.doneReceived && !facts.outputFailure.isEmpty())
        return {ExitOutputFailed, facts.outputFailure};
    if (facts.doneReceived)
        return {ExitSuccess, QString()};
    if (facts.installerConnected)
        return {ExitClosedBeforeDone, QStringLiteral("connection closed before the done message")};
    if (facts.command)
        return {ExitNoConnection, QStringLiteral("%1 exited with status 0 without connecting").arg(facts.command->name)};
    return {ExitNoConnection, QStringLiteral("no installer connected")};
}

} // namespace

Outcome decideOutcome(const SessionFacts &facts)
{
    Outcome outcome = decide(facts);
    if (facts.command && facts.command->kind == Ostrel::CommandResult::Kind::Exited)
        outcome.commandStatus = facts.command->code;
    return outcome;
}
