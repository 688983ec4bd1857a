#pragma once
// xmllint on a file: checked against the JUnit schema the CI servers' readers agree on
// (tests/junit.xsd), and the values of XPath expressions in it.

#include <QStringList>
#include <string>

namespace testsupport {

struct Lint {
    int exitCode = -1;  // -1: it did not end in time
    std::string out, errors;
};

Lint Xmllint(const QStringList& arguments);

// `path` validated against tests/junit.xsd.
Lint ValidateJUnit(const QString& path);

// The string value of `xpath` in `path`, without the newline xmllint adds.
std::string XPathValue(const QString& path, const QString& xpath);

}  // namespace testsupport
