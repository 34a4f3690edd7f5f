#ifndef RECORDINGOWNER_H
#define RECORDINGOWNER_H

#include "ipc/interprocesschannel.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>

// The supervisor's side of the protocol: its five commands, each recorded with its payload and
// accepted unless its code is refused. Its class name is the one the channel's log lines carry.
class RecordingOwner : public QObject
{
    Q_OBJECT

public:
    using Call = QPair<int, QByteArray>;

    explicit RecordingOwner(const QSet<int> &refused = QSet<int>()) : refused(refused) { }

    void registerWith(InterProcessChannel<RecordingOwner> &channel)
    {
        channel.registerCommand(RESTART_CMD, &RecordingOwner::restartCmd);
        channel.registerCommand(REBOOT_CMD, &RecordingOwner::rebootCmd);
        channel.registerCommand(HALT_CMD, &RecordingOwner::haltCmd);
        channel.registerCommand(MAINTAINER_CMD, &RecordingOwner::maintainerCmd);
        channel.registerCommand(UPDATE_CMD, &RecordingOwner::updateCmd);
    }

    bool restartCmd(const QByteArray &data) { return note(RESTART_CMD, data); }
    bool rebootCmd(const QByteArray &data) { return note(REBOOT_CMD, data); }
    bool haltCmd(const QByteArray &data) { return note(HALT_CMD, data); }
    bool maintainerCmd(const QByteArray &data) { return note(MAINTAINER_CMD, data); }
    bool updateCmd(const QByteArray &data) { return note(UPDATE_CMD, data); }

    QList<Call> calls;

private:
    bool note(int code, const QByteArray &data)
    {
        calls.append(Call(code, data));
        return !refused.contains(code);
    }

    QSet<int> refused;
};

using Calls = QList<RecordingOwner::Call>;
using Call = RecordingOwner::Call;

#endif // RECORDINGOWNER_H
