#include "contract/activation.h"

#include <QProcess>
#include <QString>
#include <gtest/gtest.h>

namespace nuvex {
namespace {

// What the bus would run: the Exec= value split by the shell's quoting rules
// (the bus follows them), here by sh itself, printed one word a line.
QStringList ShellWords(const QString& execLine) {
    QProcess sh;
    sh.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("for a in %1; do printf '%s\\n' \"$a\"; done").arg(execLine)});
    sh.waitForFinished(5000);
    return QString::fromUtf8(sh.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

QString ExecValue(const QString& text) {
    for (const QString& line : text.split(u'\n')) {
        if (line.startsWith(QLatin1String("Exec="))) {
            return line.mid(5);
        }
    }
    return {};
}

TEST(ActivationFile, ExecKeepsAnyPathAsOneWord) {
    for (const QString& program :
         {QStringLiteral("/usr/bin/nuvex"), QStringLiteral("/home/a b/build dir/nuvex"),
          QStringLiteral("/opt/it's here/nuvex"), QStringLiteral("/tmp/$HOME/`x`/\"q\"/nuvex")}) {
        const QString text = ActivationFileText(program);
        ASSERT_TRUE(text.startsWith(QLatin1String("[D-BUS Service]\nName=org.brannock.Nuvex\n")));
        EXPECT_EQ(ShellWords(ExecValue(text)), QStringList{program}) << program.toStdString();
    }
}

TEST(ActivationFile, LineEndsCannotBeCarried) {
    EXPECT_TRUE(ActivationFileText(QStringLiteral("/a\nExec=/evil")).isEmpty());
    EXPECT_TRUE(ActivationFileText(QString()).isEmpty());
}

} // namespace
} // namespace nuvex
