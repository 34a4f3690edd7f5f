#ifndef INTERPROCESSCHANNEL_H
#define INTERPROCESSCHANNEL_H

#include "commands.h"
#include "ipcchannel.h"
#include "log/log.h"
#include "udp.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QString>
#include <QThread>

// The command protocol over one UDP endpoint. Received commands go to member functions of the
// owner, looked up by code, and are answered at once; processCommand() sends a command and waits
// for its answer. T must be a QObject class with Q_OBJECT: its meta-object names it in the log.
template <class T> class InterProcessChannel : public IpcChannel
{
public:
    // Takes the payload (the datagram behind its header); true answers positively.
    using CommandHandler = bool (T::*)(const QByteArray &);

    explicit InterProcessChannel(T *owner) : owner(owner), endpoint(this) { }

    // Binds localPort on every IPv4 address for our use alone (no address reuse; exclusive on
    // Windows), so that no later socket can take the port or its datagrams. UDP leaves nothing
    // behind a closed socket, but the instance a restart has just ended may not be gone yet: a
    // port in use is tried again for a short while.
    [[nodiscard]] bool bind(quint16 localPort)
    {
        const QDeadlineTimer deadline(bindRetryMs);
        while (
            !endpoint.bind(QHostAddress::AnyIPv4, localPort, QAbstractSocket::DontShareAddress)) {
            if (endpoint.error() != QAbstractSocket::AddressInUseError || deadline.hasExpired())
                return false;
            QThread::msleep(50);
        }
        return true;
    }

    void registerCommand(int code, CommandHandler handler) { handlers.insert(code, handler); }

    UDP &udp() { return endpoint; }

    // Sends a command to the peer and waits once, up to commandTimeoutMs, for a datagram; true
    // exactly when it was the positive answer to this code.
    bool processCommand(int code, const QByteArray &data)
    {
        if (endpoint.send(header(MSG_COMMAND, code) + data)) {
            report(Log::Debug, QStringLiteral("Send Command"));
            answer = ANSWER_UNKNOWN;
            awaitedCode = code;
            if (endpoint.waitForReadyRead(commandTimeoutMs)) {
                // One read only: whatever arrives later takes the normal reception path.
                endpoint.processRead();
                report(Log::Debug,
                    QStringLiteral("Cmd ans: [%1] %2").arg(answer).arg(answerName(answer)));
                return answer == ANSWER_SUCCESS;
            }
            report(Log::Warning, QStringLiteral("Command send TIMEOUT"));
            answer = ANSWER_TIMEOUT;
        }
        report(Log::Warning, QStringLiteral("Send Command ERROR"));
        awaitedCode = NO_CMD;
        return false;
    }

    bool processData(const QByteArray &datagram) override
    {
        const int code = field(datagram, 2);
        switch (field(datagram, 0)) {
        case MSG_COMMAND: {
            answer = ANSWER_UNKNOWN;
            const int command = quint16(code);
            const bool accepted = dispatch(command, datagram.mid(headerSize));
            return endpoint.reply(makeAnswer(accepted, command));
        }
        case MSG_ACK: {
            const bool matches = int(quint16(code)) == awaitedCode;
            awaitedCode = NO_CMD;
            answer = matches ? ANSWER_SUCCESS : ANSWER_FAIL;
            return matches;
        }
        case MSG_NAK:
            answer = ANSWER_FAIL;
            awaitedCode = NO_CMD;
            return false;
        default:
            return false;
        }
    }

    static QString answerName(int value)
    {
        switch (value) {
        case ANSWER_SUCCESS:
            return QStringLiteral("SUCCESS");
        case ANSWER_FAIL:
            return QStringLiteral("FAIL");
        case ANSWER_TIMEOUT:
            return QStringLiteral("TIMEOUT");
        default:
            return QStringLiteral("UNKNOWN");
        }
    }

    static constexpr int commandTimeoutMs = 3000;
    static constexpr int bindRetryMs = 2000;

private:
    bool dispatch(int code, const QByteArray &payload)
    {
        if (!owner)
            return false;
        const auto it = handlers.constFind(code);
        if (it == handlers.constEnd())
            return false;
        return (owner->*it.value())(payload);
    }

    static QByteArray makeAnswer(bool accepted, int code)
    {
        return header(accepted ? MSG_ACK : MSG_NAK, code);
    }

    // Built from the owner's meta-object rather than the compiler's spelling of the type, so the
    // where-text is the same with every compiler.
    static void report(Log::Level level, const QString &text)
    {
        static const QString where =
            QStringLiteral("IPC:InterProcessChannel<class %1>::processCommand")
                .arg(QLatin1String(T::staticMetaObject.className()));
        Log::write(level, where, text);
    }

    T *owner;
    QMap<int, CommandHandler> handlers;
    UDP endpoint;
    int answer = ANSWER_UNKNOWN;
    int awaitedCode = NO_CMD;
};

#endif // INTERPROCESSCHANNEL_H
