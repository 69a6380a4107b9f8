// The version-file reader on its own: the file layout, every failure case and the
// version texts a hostile or broken server could send.

#include "VersionFile.h"

#include <QtTest>

using namespace lumetra::update;

Q_DECLARE_METATYPE(lumetra::update::VersionFileOutcome)

namespace {

const QByteArray M = QByteArray(43, '=');

QByteArray file(const QByteArray& versionLine, const QByteArray& notes) {
    return M + "\n" + versionLine + "\n" + notes + M + "\n";
}

} // namespace

class TstVersionFile : public QObject {
    Q_OBJECT
private slots:
    void outcomes_data();
    void outcomes();
    void notesAreTheTextBetweenVersionLineAndEqualsSign();
    void notesDecodedAsLatin1();
    void hugeVersionLineIsRejected();
    void safeVersionTexts_data();
    void safeVersionTexts();
};

void TstVersionFile::outcomes_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<VersionFileOutcome>("outcome");
    QTest::addColumn<QString>("versionText");
    QTest::addColumn<int>("version");

    using O = VersionFileOutcome;
    QTest::newRow("same version") << file("V1.04 released", "notes\n") << O::UpToDate << "1.04"
                                  << 104;
    QTest::newRow("newer") << file("V1.05 released", "notes\n") << O::Newer << "1.05" << 105;
    QTest::newRow("older") << file("V1.03 x", "notes\n") << O::Older << "1.03" << 103;
    QTest::newRow("whole number") << file("V2 x", "n\n") << O::Newer << "2" << 200;
    QTest::newRow("one decimal") << file("V1.1 x", "n\n") << O::Newer << "1.1" << 110;
    QTest::newRow("leading zero") << file("V01.05 x", "n\n") << O::Newer << "01.05" << 105;
    QTest::newRow("CRLF and blank lines")
        << (M + "\r\n\r\n\r\nV1.06 (2024)\r\nnotes\r\n" + M) << O::Newer << "1.06" << 106;
    QTest::newRow("marker without line break")
        << (M + "V1.05 x\nn\n" + M) << O::Newer << "1.05" << 105;
    QTest::newRow("text before first marker")
        << ("Header\n" + file("V1.05 x", "n\n")) << O::Newer << "1.05" << 105;
    QTest::newRow("lower-case v is no prefix")
        << file("v1.05 x", "n\n") << O::CannotParse << "" << 0;

    QTest::newRow("empty body") << QByteArray() << O::NoMarker << "" << 0;
    QTest::newRow("html error page") << QByteArray("<html>404</html>") << O::NoMarker << "" << 0;
    QTest::newRow("42 equals signs")
        << (QByteArray(42, '=') + "\nV1.05 x\nn\n") << O::NoMarker << "" << 0;
    QTest::newRow("second marker missing")
        << (M + "\nV1.05 x\nnotes\n") << O::CannotParse << "" << 0;
    QTest::newRow("second marker cut short")
        << (M + "\nV1.05 x\nn\n" + QByteArray(42, '=')) << O::CannotParse << "" << 0;
    QTest::newRow("version without space, space in notes")
        << file("V1.05", "Better spot search\n") << O::CannotParse << "" << 0;
    QTest::newRow("version without space, no space before marker")
        << file("V1.05", "Fixes\n") << O::CannotParse << "" << 0;
    QTest::newRow("no version line") << (M + "\n" + M + "\n") << O::CannotParse << "" << 0;
    QTest::newRow("space right after V") << file("V 1.05", "n\n") << O::CannotParse << "" << 0;

    // Hostile texts: they would reach a URL, a file path and an executed program.
    QTest::newRow("path traversal") << file("V../../x y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("exponent overflow") << file("V1e9999 y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("nan") << file("Vnan y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("inf") << file("Vinf y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("negative") << file("V-1.05 y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("two points") << file("V1.0.5 y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("comma") << file("V1,05 y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("hex") << file("V0x69 y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("point only") << file("V. y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("nine characters") << file("V123456.78 y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("eight digits overflow int")
        << file("V99999999 y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("eight characters fit")
        << file("V21474.83 y", "n\n") << O::Newer << "21474.83" << 2147483;
    QTest::newRow("tab inside") << file("V1.05\tx y", "n\n") << O::CannotParse << "" << 0;
    QTest::newRow("nul inside") << file(QByteArray("V1.0\0005 y", 8), "n\n") << O::CannotParse << ""
                                << 0;
}

void TstVersionFile::outcomes() {
    QFETCH(QByteArray, body);
    QFETCH(VersionFileOutcome, outcome);
    QFETCH(QString, versionText);
    QFETCH(int, version);

    const VersionFileResult r = parseVersionFile(body, 104);
    QCOMPARE(r.outcome, outcome);
    QCOMPARE(r.versionText, versionText);
    QCOMPARE(r.version, version);
    if (outcome != VersionFileOutcome::Newer)
        QVERIFY(r.notes.isEmpty());
}

void TstVersionFile::notesAreTheTextBetweenVersionLineAndEqualsSign() {
    // Whole notes up to the second marker; what follows it is ignored.
    VersionFileResult r = parseVersionFile(
        file("V1.05 (March)", "Faster stabiliser\nNew wavelengths\n") + "V9.99 trailing\n", 104);
    QCOMPARE(r.outcome, VersionFileOutcome::Newer);
    QCOMPARE(r.notes, QStringLiteral("Faster stabiliser\nNew wavelengths\n"));

    // Cut at the first equals sign.
    r = parseVersionFile(file("V1.05 x", "Power = sum of channels\nmore\n"), 104);
    QCOMPARE(r.outcome, VersionFileOutcome::Newer);
    QCOMPARE(r.notes, QStringLiteral("Power "));

    // Leading blank lines skipped; CR LF kept inside the notes.
    r = parseVersionFile(M + "\r\nV1.05 x\r\n\r\n\nline1\r\nline2\r\n" + M, 104);
    QCOMPARE(r.notes, QStringLiteral("line1\r\nline2\r\n"));

    // A version line that runs into the second marker leaves no notes beyond it.
    r = parseVersionFile(M + "\nV1.05 x" + M + "\nafter\n", 104);
    QCOMPARE(r.outcome, VersionFileOutcome::Newer);
    QCOMPARE(r.notes, QString());
}

void TstVersionFile::notesDecodedAsLatin1() {
    const VersionFileResult r = parseVersionFile(file("V1.05 x", "Am\xe9lioration\n"), 104);
    QCOMPARE(r.notes, QString::fromUtf8("Am\xc3\xa9lioration\n"));
}

void TstVersionFile::hugeVersionLineIsRejected() {
    const QByteArray digits(10 * 1024 * 1024, '1');
    QCOMPARE(parseVersionFile(file("V" + digits + " x", "n\n"), 104).outcome,
             VersionFileOutcome::CannotParse);
    // Without a space anywhere, the text runs to the end of the body.
    QCOMPARE(parseVersionFile(M + "\nV" + digits, 104).outcome, VersionFileOutcome::CannotParse);
}

void TstVersionFile::safeVersionTexts_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("safe");
    QTest::newRow("1.05") << QByteArray("1.05") << true;
    QTest::newRow("12345678") << QByteArray("12345678") << true;
    QTest::newRow(".5") << QByteArray(".5") << true;
    QTest::newRow("5.") << QByteArray("5.") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow(".") << QByteArray(".") << false;
    QTest::newRow("123456789") << QByteArray("123456789") << false;
    QTest::newRow("1..5") << QByteArray("1..5") << false;
    QTest::newRow("/") << QByteArray("1/05") << false;
    QTest::newRow("\\") << QByteArray("1\\05") << false;
    QTest::newRow("+") << QByteArray("+1.05") << false;
}

void TstVersionFile::safeVersionTexts() {
    QFETCH(QByteArray, text);
    QFETCH(bool, safe);
    QCOMPARE(isSafeVersionText(text), safe);
}

QTEST_APPLESS_MAIN(TstVersionFile)
#include "tst_versionfile.moc"
