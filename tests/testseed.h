#pragma once

#include <QRandomGenerator>
#include <QtGlobal>

// The seed of a test run's random choices: OSTREL_SEED when it is set, so a
// failing run can be repeated exactly, a fresh one otherwise. Printed once.
inline quint32 testSeed()
{
    static const quint32 seed = [] {
        bool given = false;
        quint32 value = qEnvironmentVariable("OSTREL_SEED").toUInt(&given);
        if (!given)
            value = QRandomGenerator::global()->generate();
        qInfo("random seed %u (repeat with OSTREL_SEED=%u)", value, value);
        return value;
    }();
    return seed;
}
