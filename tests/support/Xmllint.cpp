#include "support/Xmllint.h"

#include <QProcess>

namespace testsupport {

Lint Xmllint(const QStringList& arguments) {
    QProcess process;
    process.start("xmllint", arguments);
    Lint lint;
    if (process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit) {
        lint.exitCode = process.exitCode();
    }
    lint.out = process.readAllStandardOutput().toStdString();
    lint.errors = process.readAllStandardError().toStdString();
    return lint;
}

Lint ValidateJUnit(const QString& path) {
    return Xmllint({"--noout", "--schema", UDPPHONE_SOURCE_DIR "/tests/junit.xsd", path});
}

std::string XPathValue(const QString& path, const QString& xpath) {
    std::string value = Xmllint({"--xpath", xpath, path}).out;
    if (!value.empty() && value.back() == '\n') {
        value.pop_back();
    }
    return value;
}

}  // namespace testsupport
