#include "portowners.h"

#include <cerrno>
#include <cstring>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
// The kernel answers at once; the limit only keeps a kernel that never does from stopping us.
constexpr int answerTimeoutMs = 1000;

// NLMSG_OK without its comparison of the signed length with the unsigned one, which clang rejects.
bool wholeMessage(const nlmsghdr *part, int left)
{
    return left >= int(sizeof(nlmsghdr)) && part->nlmsg_len >= sizeof(nlmsghdr)
        && part->nlmsg_len <= unsigned(left);
}
} // namespace

// One netlink socket of the kernel's socket diagnostics, kept for every question.
struct PortOwners::Private
{
    int netlink = -1;
    quint32 sequence = 0;
    QString error;

    ~Private() { closeNetlink(); }

    void closeNetlink()
    {
        if (netlink >= 0)
            ::close(netlink);
        netlink = -1;
    }

    bool fail(const QString &what)
    {
        error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
        // Whatever the kernel still has to say would be taken for the next answer.
        closeNetlink();
        return false;
    }

    bool open()
    {
        if (netlink >= 0)
            return true;
        netlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (netlink < 0)
            return fail(QStringLiteral("socket diagnostics"));
        timeval timeout {};
        timeout.tv_sec = answerTimeoutMs / 1000;
        timeout.tv_usec = answerTimeoutMs % 1000 * 1000;
        if (::setsockopt(netlink, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
            return fail(QStringLiteral("socket diagnostics"));
        return true;
    }

    // Every UDP socket of one family bound to port: a dump filtered by the kernel on the port,
    // since the one socket the kernel would deliver to is not the only one that can send.
    bool dump(int family, quint16 port, QList<Owner> *owners)
    {
        struct
        {
            nlmsghdr header;
            inet_diag_req_v2 request;
        } message {};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
        message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        message.header.nlmsg_seq = ++sequence;
        message.request.sdiag_family = quint8(family);
        message.request.sdiag_protocol = IPPROTO_UDP;
        message.request.idiag_states = ~0U;
        message.request.id.idiag_sport = htons(port);
        message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
        message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

        sockaddr_nl kernel {};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(netlink, &message, sizeof message, 0, reinterpret_cast<sockaddr *>(&kernel),
                sizeof kernel)
            != ssize_t(sizeof message)) {
            return fail(QStringLiteral("socket diagnostics request"));
        }

        const uid_t ourUser = ::geteuid();
        alignas(nlmsghdr) char buffer[16384];
        for (;;) {
            // MSG_TRUNC: the whole length, so that a part cut off cannot hide an owner.
            const ssize_t received = ::recv(netlink, buffer, sizeof buffer, MSG_TRUNC);
            if (received < 0)
                return fail(QStringLiteral("socket diagnostics answer"));
            if (size_t(received) > sizeof buffer) {
                errno = EMSGSIZE;
                return fail(QStringLiteral("socket diagnostics answer"));
            }
            int left = int(received);
            for (auto *part = reinterpret_cast<nlmsghdr *>(buffer); wholeMessage(part, left);
                 part = NLMSG_NEXT(part, left)) {
                if (part->nlmsg_seq != sequence)
                    continue;
                if (part->nlmsg_type == NLMSG_DONE)
                    return true;
                if (part->nlmsg_type == NLMSG_ERROR) {
                    const auto *failure = static_cast<const nlmsgerr *>(NLMSG_DATA(part));
                    errno = -failure->error;
                    return fail(QStringLiteral("socket diagnostics"));
                }
                if (part->nlmsg_type != SOCK_DIAG_BY_FAMILY)
                    continue;
                const auto *socket = static_cast<const inet_diag_msg *>(NLMSG_DATA(part));
                Owner owner;
                owner.id = socket->idiag_uid;
                owner.trusted = socket->idiag_uid == ourUser || socket->idiag_uid == 0;
                owners->append(owner);
            }
        }
    }
};

PortOwners::PortOwners() : d(new Private) { }

PortOwners::~PortOwners() = default;

bool PortOwners::find(quint16 port, QList<Owner> *owners)
{
    owners->clear();
    // A socket of IPv6 that is not IPv6-only sends IPv4 datagrams as well.
    return d->open() && d->dump(AF_INET, port, owners) && d->dump(AF_INET6, port, owners);
}

QString PortOwners::errorString() const
{
    return d->error;
}

QString PortOwners::describe(const Owner &owner) const
{
    passwd entry {};
    passwd *found = nullptr;
    char strings[4096];
    if (::getpwuid_r(uid_t(owner.id), &entry, strings, sizeof strings, &found) == 0 && found)
        return QStringLiteral("uid %1 (%2)")
            .arg(owner.id)
            .arg(QString::fromLocal8Bit(found->pw_name));
    return QStringLiteral("uid %1").arg(owner.id);
}
