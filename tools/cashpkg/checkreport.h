#ifndef CHECKREPORT_H
#define CHECKREPORT_H

#include <QByteArray>
#include <QString>

struct CheckResult;

// The two forms of a check's result: lines for people, a JSON document for release pipelines.
namespace CheckReport {

QString text(const CheckResult &result);
QByteArray json(const CheckResult &result);
// One line: whether the installer would succeed, and whether the package is as it should be.
QString verdict(const CheckResult &result);

} // namespace CheckReport

#endif // CHECKREPORT_H
