#include "links.h"

#include <QFile>

bool makeLink(const QString &target, const QString &link, QString *why)
{
    QFile file(target);
    if (file.link(link))
        return true;
    if (why)
        *why = file.errorString();
    return false;
}
