// The identity parsers over the malformed inputs a board can really hold, and the readers'
// fallbacks for missing sources.
#include "args_str.h"
#include "identity.h"
#include "process.h"
#include "text.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

class TestIdentity : public QObject {
    Q_OBJECT
  private slots:
    void hardId_data();
    void hardId();
    void hardIdFromCommand_data();
    void hardIdFromCommand();
    void deviceId_data();
    void deviceId();
    void deviceInfo_data();
    void deviceInfo();
    void readers();
    void popenFails();
    void fgetsPieces_data();
    void fgetsPieces();
    void timedOutCommandEndsWithItsGroup();
    void boundedRead();
    void textBeforeNul_data();
    void textBeforeNul();
};

void TestIdentity::hardId_data() {
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<QString>("id");
    const QString uuid = QStringLiteral("5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51");
    QTest::newRow("usual line") << QByteArray("/dev/mmcblk0: PTUUID=\"5e1d0c2a-93b4-4f6e-8a71-"
                                              "0c9d2b3e4f51\" PTTYPE=\"gpt\"\n")
                                << uuid;
    QTest::newRow("tag last, line feed follows")
        << QByteArray("/dev/mmcblk0: PTUUID=\"5e1d0c2a-93b4-4f6e-8a71-0c9d2b3e4f51\"\n") << uuid;
    QTest::newRow("tag first") << QByteArray("PTUUID=\"abcd1234\" PTTYPE=\"dos\"")
                               << QStringLiteral("abcd1234");
    QTest::newRow("dos id") << QByteArray("/dev/mmcblk0: PTUUID=\"1b2c3d4e\" PTTYPE=\"dos\"\n")
                            << QStringLiteral("1b2c3d4e");
    QTest::newRow("absent: file system, no table")
        << QByteArray("/dev/mmcblk0: UUID=\"1234\" TYPE=\"ext4\"\n") << QString();
    QTest::newRow("lower case tag is absent")
        << QByteArray("/dev/mmcblk0: ptuuid=\"1234\" PTTYPE=\"gpt\"\n") << QString();
    QTest::newRow("no closing quote") << QByteArray("/dev/mmcblk0: PTUUID=\"1234\n") << QString();
    QTest::newRow("nothing printed") << QByteArray() << QString();
    QTest::newRow("short output") << QByteArray("/dev/m") << QString();
    QTest::newRow("empty value") << QByteArray("PTUUID=\"\" X=\"y\"") << QString();
    QTest::newRow("value across a line end")
        << QByteArray("/dev/mmcblk0: PTUUID=\"ab\ncd\"") << QStringLiteral("ab\ncd");
    QTest::newRow("NUL ends the text") << QByteArray("PTUUID=\"ab\0cd\"", 14) << QString();
}

void TestIdentity::hardId() {
    QFETCH(QByteArray, output);
    QFETCH(QString, id);
    QCOMPARE(hardIdFromBlkid(output), id);
}

void TestIdentity::hardIdFromCommand_data() {
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QString>("id");
    const QByteArray longValue(3000, 'a');
    QTest::newRow("line longer than 1023 bytes is joined")
        << QByteArray("printf '/dev/mmcblk0: LABEL=\"" + QByteArray(1500, 'x') + "\" PTUUID=\"" +
                      longValue + "\" PTTYPE=\"gpt\"\\n'")
        << QString::fromLatin1(longValue);
    QTest::newRow("command prints nothing") << QByteArray("true") << QString();
    QTest::newRow("command missing") << QByteArray("/nonexistent/blkid 2>/dev/null") << QString();
    QTest::newRow("NUL cuts only its own piece")
        << QByteArray("printf 'x\\0y\\nPTUUID=\"ab\" z\\n'") << QStringLiteral("ab");
    QTest::newRow("endless output is capped") << QByteArray("yes") << QString();
}

void TestIdentity::hardIdFromCommand() {
    QFETCH(QByteArray, command);
    QFETCH(QString, id);
    QCOMPARE(getHardIdFrom(command.constData()), id);
}

void TestIdentity::deviceId_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("id");
    QTest::newRow("empty") << QByteArray() << QStringLiteral("Error");
    QTest::newRow("white space only") << QByteArray(" \t\r\n\v\f \n") << QStringLiteral("Error");
    QTest::newRow("spaces and CR LF around")
        << QByteArray("  PX0042 \r\n") << QStringLiteral("PX0042");
    QTest::newRow("two lines keep inner line end")
        << QByteArray("PX\r\n42\r\n") << QStringLiteral("PX\r\n42");
    QTest::newRow("NUL ends the text") << QByteArray("PX\0"
                                                     "42",
                                                     5)
                                       << QStringLiteral("PX");
    QTest::newRow("NUL first after trim") << QByteArray(" \0PX", 4) << QStringLiteral("Error");
    QTest::newRow("UTF-8") << QByteArray("Pr\xc3\xbc"
                                         "f")
                           << QString::fromUtf8("Pr\xc3\xbc"
                                                "f");
}

void TestIdentity::deviceId() {
    QFETCH(QByteArray, content);
    QFETCH(QString, id);
    QCOMPARE(deviceIdFromFile(content), id);
}

void TestIdentity::deviceInfo_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("version");
    const QString none = QStringLiteral("DOREVIVIZ");
    const QString zero = QStringLiteral("0.0.0.0");
    QTest::newRow("empty") << QByteArray() << none << zero;
    QTest::newRow("one line, no line end") << QByteArray("BOARD") << none << zero;
    QTest::newRow("one line with line end")
        << QByteArray("BOARD\n") << QStringLiteral("BOARD") << QString();
    QTest::newRow("two lines") << QByteArray("BOARD-A7\n2.3.1") << QStringLiteral("BOARD-A7")
                               << QStringLiteral("2.3.1");
    QTest::newRow("three lines") << QByteArray("A\nB\nC\n") << QStringLiteral("A")
                                 << QStringLiteral("B");
    QTest::newRow("empty first line")
        << QByteArray("\n2.0\n") << QString() << QStringLiteral("2.0");
    QTest::newRow("only a line end") << QByteArray("\n") << QString() << QString();
    QTest::newRow("CR LF") << QByteArray("BOARD-A7\r\n2.3.1\r\n") << QStringLiteral("BOARD-A7")
                           << QStringLiteral("2.3.1");
    QTest::newRow("bare CR") << QByteArray("BOARD\r2.3\r") << none << zero;
    QTest::newRow("spaces kept") << QByteArray(" B \n 1 \n") << QStringLiteral(" B ")
                                 << QStringLiteral(" 1 ");
    QTest::newRow("Latin-1") << QByteArray("Gr\xc3\xbc\n\xff\n")
                             << QString::fromUtf8("Gr\xc3\x83\xc2\xbc")
                             << QString::fromUtf8("\xc3\xbf");
    QTest::newRow("NUL ends the text") << QByteArray("A\0\nB\n", 5) << none << zero;
}

void TestIdentity::deviceInfo() {
    QFETCH(QByteArray, content);
    QFETCH(QString, name);
    QFETCH(QString, version);
    QString gotName = QStringLiteral("untouched");
    QString gotVersion = QStringLiteral("untouched");
    deviceInfoFromFile(content, &gotName, &gotVersion);
    QCOMPARE(gotName, name);
    QCOMPARE(gotVersion, version);
}

// The readers on real files: missing and unreadable sources leave the fields as they were.
void TestIdentity::readers() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.filePath(QStringLiteral("missing"));
    QCOMPARE(getDeviceIdFrom(missing), QStringLiteral("Error"));

    ArgsStr args;
    initDeviceInfoFrom(&args, missing);
    QVERIFY(args.deviceName.isNull() && args.version.isNull());

    // A directory exists but cannot be opened as a file.
    initDeviceInfoFrom(&args, dir.path());
    QVERIFY(args.deviceName.isNull() && args.version.isNull());
    QCOMPARE(getDeviceIdFrom(dir.path()), QStringLiteral("Error"));

    const QString version = dir.filePath(QStringLiteral("version"));
    QFile file(version);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("BOARD-A7\r\n2.3.1\r\nextra\r\n");
    file.close();
    initDeviceInfoFrom(&args, version);
    QCOMPARE(args.deviceName, QStringLiteral("BOARD-A7"));
    QCOMPARE(args.version, QStringLiteral("2.3.1"));
    QVERIFY(args.deviceId.isNull() && args.hardId.isNull() && args.interfaceName.isNull());
}

// With no descriptor left for the pipe, popen gives no stream: the all-zero id.
void TestIdentity::popenFails() {
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowestFree = dup(0);
    QVERIFY(lowestFree >= 0);
    close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(lowestFree);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const QString id = getHardIdFrom("echo 'PTUUID=\"1234\" '");
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    QCOMPARE(id, QStringLiteral("00000000-0000-0000-0000-000000000000"));
    QCOMPARE(getHardIdFrom("echo 'PTUUID=\"1234\" '"), QStringLiteral("1234"));
}

// As a loop of fgets with a 1024-byte buffer hands the output out: pieces of at most 1023
// bytes, each cut at its own first NUL.
void TestIdentity::fgetsPieces_data() {
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("joined");
    const QByteArray a1022(1022, 'a');
    const QByteArray a1023(1023, 'a');
    QTest::newRow("lines joined") << QByteArray("x\ny\n") << QByteArray("x\ny\n");
    QTest::newRow("a NUL cuts its line's piece only")
        << QByteArray("x\0z\ny\n", 6) << QByteArray("xy\n");
    QTest::newRow("a NUL at byte 1022 cuts the first piece")
        << a1022 + QByteArray("\0bc\n", 4) << a1022 + "bc\n";
    QTest::newRow("a NUL at byte 1023 begins the second piece")
        << a1023 + QByteArray("\0x\n", 3) << a1023;
}

void TestIdentity::fgetsPieces() {
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, joined);
    QCOMPARE(joinFgetsPieces(raw), joined);
}

// A command that outlives its time-out is ended with everything it started: the shell and its
// children, whose open end of the pipe would otherwise be left behind.
void TestIdentity::timedOutCommandEndsWithItsGroup() {
    QTemporaryDir dir;
    const QByteArray pidFile = QFile::encodeName(dir.filePath(QStringLiteral("child")));
    const QByteArray command = "sleep 30 & echo $! > " + pidFile + "; wait";
    QByteArray output;
    QVERIFY(readCommandOutput(command.constData(), 300, 1024, &output));
    QFile file(QString::fromLocal8Bit(pidFile));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray child = file.readAll().trimmed();
    QVERIFY(!child.isEmpty());
    // Gone, or a zombie that its new parent has yet to reap.
    const auto ended = [&] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(child)));
        return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
    };
    QTRY_VERIFY_WITH_TIMEOUT(ended(), 2000);
}

QTEST_APPLESS_MAIN(TestIdentity)
// A file is read by a child: its bytes up to the cap; a read that blocks (a FIFO nobody writes
// to stands in for /proc/kmsg, which blocks although it is a regular file) gives up at the time
// bound and leaves no child behind; a file that cannot be opened gives nothing.
void TestIdentity::boundedRead() {
    QTemporaryDir dir;
    const QByteArray file = QFile::encodeName(dir.filePath(QStringLiteral("ID.txt")));
    QFile plain(QString::fromLocal8Bit(file));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write(QByteArray(3000, 'x')) == 3000);
    plain.close();
    QByteArray content;
    QVERIFY(readFileBounded(file.constData(), 2000, 2500, &content));
    QCOMPARE(content, QByteArray(2500, 'x'));

    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("fifo")));
    QCOMPARE(mkfifo(fifo.constData(), 0600), 0);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(readFileBounded(fifo.constData(), 300, 100, &content));
    QVERIFY(content.isEmpty());
    QVERIFY2(timer.elapsed() >= 300 && timer.elapsed() < 5000,
             qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(waitpid(-1, nullptr, WNOHANG), pid_t(-1)); // reaped: no child of this process left

    QVERIFY(readFileBounded("/nonexistent/ID.txt", 2000, 100, &content));
    QVERIFY(content.isEmpty());
}

// Bytes from the kernel or a file become text up to their first NUL on Qt 5 and Qt 6 alike
// (Qt 6's QString::fromUtf8(QByteArray) keeps the NUL and what follows).
void TestIdentity::textBeforeNul_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("utf8");
    QTest::addColumn<QString>("latin1");
    QTest::newRow("rtnetlink name")
        << QByteArray("eth1\0:7:up", 10) << QStringLiteral("eth1") << QStringLiteral("eth1");
    QTest::newRow("no NUL") << QByteArray("caf\xc3\xa9") << QString::fromUtf8("caf\xc3\xa9")
                            << QString::fromLatin1("caf\xc3\xa9");
    QTest::newRow("NUL first") << QByteArray("\0PX1", 4) << QString() << QString();
}

void TestIdentity::textBeforeNul() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, utf8);
    QFETCH(QString, latin1);
    QCOMPARE(utf8BeforeNul(bytes), utf8);
    QCOMPARE(latin1BeforeNul(bytes), latin1);
    // Through the identity's own parsers too.
    QCOMPARE(deviceIdFromFile(bytes + "\n"), utf8.isEmpty() ? QStringLiteral("Error") : utf8);
}

#include "tst_identity.moc"
