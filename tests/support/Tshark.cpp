#include "support/Tshark.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <sstream>

#include "support/PhoneCalls.h"

namespace testsupport {
namespace {

constexpr const char* kTshark = "/usr/bin/tshark";
constexpr const char* kRootNote = "Running as user \"root\"";

// A home of the runs' own: Wireshark reads personal plug-ins and preferences from it.
const QTemporaryDir& Home() {
    static const QTemporaryDir home;
    return home;
}

QProcessEnvironment Environment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", Home().path());
    environment.insert("XDG_CONFIG_HOME", Home().filePath("config"));
    return environment;
}

std::vector<std::string> Lines(const QByteArray& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text.toStdString());
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

TsharkRun Start(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessEnvironment(Environment());
    process.start(program, arguments);
    TsharkRun run;
    if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit) {
        run.exitCode = process.exitCode();
    }
    run.lines = Lines(process.readAllStandardOutput());
    for (const std::string& line : Lines(process.readAllStandardError())) {
        if (line.rfind(kRootNote, 0) != 0) {
            run.errors += line + "\n";
        }
    }
    return run;
}

// The dissector the package installs where Wireshark loads Lua plug-ins for every user; empty
// when there is none.
const QString& InstalledDissector() {
    static const QString installed = [] {
        const TsharkRun folders = Start(kTshark, {"-G", "folders"});
        const std::string label = "Global Lua Plugins:";
        for (const std::string& line : folders.lines) {
            if (line.rfind(label, 0) == 0) {
                const QString file =
                    QDir(QString::fromStdString(line.substr(label.size())).trimmed())
                        .filePath("udpphone.lua");
                return QFile::exists(file) ? file : QString();
            }
        }
        return QString();
    }();
    return installed;
}

}  // namespace

std::optional<std::string> TsharkUnusable() {
    if (::access(kTshark, X_OK) != 0) {
        return "needs tshark (scripts/install-deps.sh installs it)";
    }
    if (!InstalledDissector().isEmpty() && !InTestNamespace()) {
        return "an installed " + InstalledDissector().toStdString() +
               " would be decoding instead of the tree's; it is hidden only inside the test "
               "namespace (not with UDPPHONE_TEST_ON_HOST)";
    }
    return std::nullopt;
}

TsharkRun Tshark(const QStringList& arguments) {
    const QStringList tshark =
        QStringList{kTshark} + arguments +
        QStringList{"-X", "lua_script:" UDPPHONE_SOURCE_DIR "/tools/wireshark/udpphone.lua"};
    const QString installed = InstalledDissector();
    if (installed.isEmpty()) {
        return Start(tshark.first(), tshark.mid(1));
    }
    // An empty file over the installed one, in a mount namespace of this run's own.
    const QString empty = Home().filePath("empty.lua");
    QFile(empty).open(QIODevice::WriteOnly);
    return Start(
        "/usr/bin/unshare",
        QStringList{"--mount", "--propagation", "private", "--", "/bin/sh", "-c",
                    "mount --bind \"$0\" \"$1\" && shift && exec \"$@\"", empty, installed} +
            tshark);
}

std::vector<std::string> TsharkFields(const QString& capture, const QStringList& fields,
                                      const QStringList& arguments) {
    QStringList all = QStringList{"-n", "-r", capture} + arguments +
                      QStringList{"-T", "fields", "-E", "separator=|"};
    for (const QString& field : fields) {
        all << "-e" << field;
    }
    const TsharkRun run = Tshark(all);
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.errors, "") << "tshark " << all.join(' ').toStdString();
    return run.lines;
}

}  // namespace testsupport
