#include "simchannel.h"

#include "output.h"

SimChannel::SimChannel(CashSimulator *simulator)
    : InterProcessChannel<CashSimulator>(simulator), simulator(simulator)
{
}

bool SimChannel::processData(const QByteArray &datagram)
{
    ++received;
    last = datagram;
    const int type = field(datagram, 0);
    const int code = quint16(field(datagram, 2));
    QString meaning;
    switch (type) {
    case MSG_COMMAND:
        meaning = QStringLiteral("command %1").arg(CashSimulator::commandName(code));
        break;
    case MSG_ACK:
        meaning = QStringLiteral("positive answer to %1").arg(code);
        break;
    case MSG_NAK:
        meaning = QStringLiteral("negative answer to %1").arg(code);
        break;
    default:
        meaning = QStringLiteral("not a message");
        break;
    }
    Output::say(QStringLiteral("received %1 (%2)").arg(Output::hex(datagram), meaning));

    if (type == MSG_COMMAND && code == MAINTENANCE_START_CMD
        && simulator->maintenanceAnswer() == Step::Silent) {
        simulator->noteMaintenanceStart();
        Output::say(QStringLiteral("MAINTENANCE_START_CMD: not answering"));
        return false;
    }
    return InterProcessChannel<CashSimulator>::processData(datagram);
}
