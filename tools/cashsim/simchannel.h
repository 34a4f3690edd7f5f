#ifndef SIMCHANNEL_H
#define SIMCHANNEL_H

#include "cashsimulator.h"
#include "ipc/interprocesschannel.h"

// The simulator's command channel: the project's own protocol, plus a printed line for every
// datagram received and, when asked, silence towards MAINTENANCE_START_CMD.
class SimChannel : public InterProcessChannel<CashSimulator>
{
public:
    explicit SimChannel(CashSimulator *simulator);

    bool processData(const QByteArray &datagram) override;

    int receivedCount() const { return received; }
    QByteArray lastReceived() const { return last; }

private:
    CashSimulator *simulator;
    int received = 0;
    QByteArray last;
};

#endif // SIMCHANNEL_H
